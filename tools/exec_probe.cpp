// exec_probe: says how wide a pointer is in the program that ran, so that a
// script can tell that a Windows program of the width it built really ran.
#include <cstdio>

int main() {
    std::printf("exec_probe: %u-bit\n", static_cast<unsigned>(sizeof(void *) * 8));
    return 0;
}
