#include "sessions/terminalservices.h"

#include <mutex>

#include "platform/machine.h"
#include "platform/no_destructor.h"

namespace {

struct SModuleState {
  std::recursive_mutex lock;
  HMODULE hModule = nullptr;
  LONG references = 0;
  STerminalServicesEntryPoints entryPoints;
};

// Monitor threads may release their reference while the process exits.
SModuleState& State() noexcept {
  static TNoDestructor<SModuleState> state;
  return *state;
}

}  // namespace

bool CTerminalServicesModule::AddRef() noexcept {
  SModuleState& state = State();
  std::lock_guard lock(state.lock);
  if (state.references == 0) {
    // Threads that outlive a machine installation hold it while they call.
    auto machine = MachineSeam().Use();
    state.hModule = machine->LoadLibraryW(OLESTR("Wtsapi32.dll"));
    if (state.hModule == nullptr) return false;
  }
  ++state.references;
  return true;
}

void CTerminalServicesModule::Release() noexcept {
  SModuleState& state = State();
  std::lock_guard lock(state.lock);
  if (state.references == 0 || --state.references != 0) return;
  auto machine = MachineSeam().Use();
  machine->FreeLibrary(state.hModule);
  state.hModule = nullptr;
  state.entryPoints = STerminalServicesEntryPoints{};
}

FARPROC CTerminalServicesModule::GetProcAddress(LPCSTR pszName) noexcept {
  SModuleState& state = State();
  std::lock_guard lock(state.lock);
  return Machine().GetProcAddress(state.hModule, pszName);
}

STerminalServicesEntryPoints& CTerminalServicesModule::EntryPoints() noexcept {
  return State().entryPoints;
}

void CTerminalServicesModule::Lock() noexcept { State().lock.lock(); }
void CTerminalServicesModule::Unlock() noexcept { State().lock.unlock(); }
