// Conformance of the module services: loading by name, export lookup and
// paired unloading.

// <windows.h> comes first: the Windows SDK headers build on it.
#include <windows.h>

#include <gtest/gtest.h>

#include "common/conformance.h"
#include "platform/win32_helpers.h"

namespace {

template <class F>
F* FunctionOf(FARPROC proc) {
  return reinterpret_cast<F*>(reinterpret_cast<void (*)()>(proc));
}

TEST(ModuleTest, Kernel32ExportsAreCallableUnderAnySpelling) {
  HMODULE kernel32 = LoadLibraryW(OLESTR("kernel32.dll"));
  ASSERT_NE(kernel32, nullptr);
  auto* pfnSetLastError = FunctionOf<void WINAPI(DWORD)>(GetProcAddress(kernel32, "SetLastError"));
  auto* pfnGetLastError = FunctionOf<DWORD WINAPI()>(GetProcAddress(kernel32, "GetLastError"));
  ASSERT_TRUE(pfnSetLastError && pfnGetLastError);
  pfnSetLastError(0x4321);
  EXPECT_EQ(GetLastError(), 0x4321u);
  SetLastError(0x8765);
  EXPECT_EQ(pfnGetLastError(), 0x8765u);
  // Other spellings name the same module.
  for (LPCWSTR name : {OLESTR("KERNEL32"), OLESTR("Kernel32.DLL"),
                       OLESTR("C:\\Windows\\System32\\KERNEL32.DLL")}) {
    EXPECT_EQ(LoadLibraryW(name), kernel32);
    EXPECT_TRUE(FreeLibrary(kernel32));
  }
  EXPECT_EQ(LoadLibraryExW(OLESTR("kernel32.dll"), nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32),
            kernel32);
  EXPECT_TRUE(FreeLibrary(kernel32));
  EXPECT_TRUE(FreeLibrary(kernel32));
}

// Natively the libraries only Windows has are missing too, so that callers
// take their "library missing" path.
TEST(ModuleTest, MissingModulesAndExportsAreReported) {
  EXPECT_EQ(FAILURE_OF(LoadLibraryW(OLESTR("kelmyr_no_such_module.dll"))),
            DWORD{ERROR_MOD_NOT_FOUND});
  for (LPCWSTR name :
       {OLESTR("userenv.dll"), OLESTR("IEFRAME"), OLESTR("C:\\Windows\\System32\\UserEnv.dll")}) {
    EXPECT_TRUE(!kNativeLayer || FAILURE_OF(LoadLibraryW(name)) == DWORD{ERROR_MOD_NOT_FOUND});
  }
  EXPECT_EQ(FAILURE_OF(LoadLibraryW(nullptr)), DWORD{ERROR_INVALID_PARAMETER});
  EXPECT_EQ(FAILURE_OF(FreeLibrary(nullptr)), DWORD{ERROR_INVALID_HANDLE});

  HMODULE kernel32 = LoadLibraryW(OLESTR("kernel32.dll"));
  ASSERT_NE(kernel32, nullptr);
  EXPECT_EQ(FAILURE_OF(GetProcAddress(kernel32, "KelmyrNoSuchExport")),
            DWORD{ERROR_PROC_NOT_FOUND});
  EXPECT_EQ(FAILURE_OF(GetProcAddress(kernel32, "gettickcount64")), DWORD{ERROR_PROC_NOT_FOUND})
      << "export names keep their case";
  EXPECT_EQ(FAILURE_OF(GetProcAddress(kernel32, reinterpret_cast<LPCSTR>(60000))),
            DWORD{ERROR_PROC_NOT_FOUND})
      << "an ordinal no module exports";
  EXPECT_EQ(FAILURE_OF(GetProcAddress(nullptr, "KelmyrNoSuchExport")), DWORD{ERROR_PROC_NOT_FOUND})
      << "the main program";
  EXPECT_TRUE(FreeLibrary(kernel32));
}

// A module outside the system image is unloaded by its last FreeLibrary,
// after which its handle names no module.
TEST(ModuleTest, LoadsAndFreesPair) {
  LPCWSTR name = kNativeLayer ? OLESTR("libm.so.6") : OLESTR("wtsapi32.dll");
  const char* exportName = kNativeLayer ? "cos" : "WTSFreeMemory";
  HMODULE module = LoadLibraryW(name);
  ASSERT_NE(module, nullptr);
  EXPECT_EQ(LoadLibraryW(name), module);
  EXPECT_TRUE(FreeLibrary(module));
  EXPECT_NE(GetProcAddress(module, exportName), nullptr) << "one load is still held";
  EXPECT_TRUE(FreeLibrary(module));
  EXPECT_EQ(FAILURE_OF(GetProcAddress(module, exportName)), DWORD{ERROR_MOD_NOT_FOUND});
  EXPECT_EQ(FAILURE_OF(FreeLibrary(module)), DWORD{ERROR_MOD_NOT_FOUND});
}

}  // namespace
