#include <gtest/gtest.h>
#include <windows.h>
