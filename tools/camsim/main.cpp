#include <cstdio>

int main()
{
    std::fprintf(stderr, "camsim: not built yet\n");
    return 1;
}
