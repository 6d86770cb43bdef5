// Stands in for the Qt application's qMain in the cross-compiled entry test: it
// records the argument vector that WinMain handed over and answers with a code
// derived from it, so the test sees that WinMain passed both through unchanged.
#include <cstdio>

int qMain(int argc, char **argv)
{
    if (argc < 2)
        return 1;
    std::FILE *out = std::fopen(argv[1], "wb");
    if (!out)
        return 2;
    for (int i = 0; i < argc; ++i)
        std::fprintf(out, "%s\n", argv[i]);
    std::fclose(out);
    return 40 + argc;
}
