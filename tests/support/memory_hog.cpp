// A child for the tests of limit_child: it tells its process id, descriptor limits and ASan options,
// then takes and touches memory a mebibyte at a time up to the figure on its command line.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <unistd.h>

#include <vector>

int main(int argc, char **argv) {
    const long target_mib = argc > 1 ? atol(argv[1]) : 0;
    rlimit files{};
    getrlimit(RLIMIT_NOFILE, &files);
    const char *asan = getenv("ASAN_OPTIONS");
    printf("pid %ld nofile %llu:%llu asan %s\n", (long)getpid(), (unsigned long long)files.rlim_cur,
           (unsigned long long)files.rlim_max, asan ? asan : "");
    fflush(stdout);
    std::vector<char *> held;
    for (long i = 0; i < target_mib; i++) {
        char *block = (char *)malloc(1 << 20);
        if (!block) {
            printf("refused at %ld MiB\n", i);
            return 3;
        }
        memset(block, 1, 1 << 20);
        held.push_back(block);
        // ASan looks at the resident set about every 100 ms: slow enough that it sees the cap passed.
        usleep(2000);
    }
    printf("held %ld MiB\n", target_mib);
    for (char *block : held) free(block);
    return 0;
}
