// Stands in for curl in the transport benchmark so that only the transport's own
// work is measured: it drains the body from standard input when one is sent,
// writes nothing to the response file and reports status 200.
#include <cstdio>
#include <cstring>

int main(int argc, char *argv[])
{
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--data-binary") == 0) {
            char buffer[65536];
            while (std::fread(buffer, 1, sizeof buffer, stdin) > 0) { }
        }
    }
    std::fputs("200", stdout);
    return 0;
}
