// Cost of one log line: filtered out, and written to a plain file (opened and closed per line).
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include "common/logger/logger.h"

namespace {

void setup_file_output(std::string &path) {
    char tmpl[] = "/tmp/brxbench.XXXXXX";
    int fd = mkstemp(tmpl);
    if (fd >= 0) close(fd);
    path = tmpl;
    logger_cleanup();
    logger_set_parameter("file.name", path.c_str());
    logger_set_parameter("file", "true");
    logger_set_parameter("level", "INFO");
    logger_commit_parameters();
}

void BM_LogFiltered(benchmark::State &state) {
    std::string path;
    setup_file_output(path);
    for (auto _ : state) _log("bench", LVL_DEBUG, __FILE__, __LINE__, "dropped %d", 1);
    unlink(path.c_str());
}
BENCHMARK(BM_LogFiltered);

void BM_LogToFile(benchmark::State &state) {
    std::string path;
    setup_file_output(path);
    for (auto _ : state) _log("bench", LVL_INFO, __FILE__, __LINE__, "written %d %s", 42, "text");
    unlink(path.c_str());
}
BENCHMARK(BM_LogToFile);

}  // namespace
