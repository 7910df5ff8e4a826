#ifndef FUZZTARGET_H
#define FUZZTARGET_H

#include <cstddef>
#include <cstdint>

// The entry points every fuzz target defines. libFuzzer calls them; so does
// ReplayMain.cpp, which runs a target over its corpus in every test suite.
extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv);
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace FuzzTypes {

// The package type codes, 1 to 12 and 14 to 16, by index 0 to 14: the first
// byte of an input of the package target picks one this way.
constexpr int Count = 15;

constexpr int typeAt(int index)
{
    return index < 12 ? index + 1 : index + 2;
}

constexpr int indexOf(int type)
{
    return type <= 12 ? type - 1 : type - 2;
}

} // namespace FuzzTypes

#endif // FUZZTARGET_H
