#include <cstdio>

int main(int argc, char** argv) {
    (void)argc;
    (void)argv;
    std::printf("kvpcaprecorder\n");
    return 0;
}
