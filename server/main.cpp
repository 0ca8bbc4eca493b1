// Placeholder until the reference server lands: prints the listening line and exits.
#include <cstdio>

int main()
{
    std::puts("tolvar-server: not built yet");
    return 1;
}
