// A stand-in browser: writes the command line it was started with next to itself, then ends.
#include <cstdio>
#include <cstring>

#include <windows.h>

int main()
{
    char path[MAX_PATH + 16] = {};
    const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return 1;
    std::strcpy(path + length, ".args");
    std::FILE* file = std::fopen(path, "wb");
    if (!file)
        return 1;
    std::fputs(GetCommandLineA(), file);
    return std::fclose(file) == 0 ? 0 : 1;
}
