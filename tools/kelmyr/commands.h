// The commands of the kelmyr tool. Each takes the arguments after its name
// (UTF-8) and returns the process exit code.
#pragma once

#include <string>
#include <vector>

using KelmyrArgs = std::vector<std::string>;

int KelmyrDemo(const KelmyrArgs& args);
int KelmyrReg(const KelmyrArgs& args);
int KelmyrStores(const KelmyrArgs& args);
int KelmyrFlush(const KelmyrArgs& args);
int KelmyrData(const KelmyrArgs& args);
int KelmyrPin(const KelmyrArgs& args);
int KelmyrRegister(const KelmyrArgs& args);
int KelmyrUnregister(const KelmyrArgs& args);
