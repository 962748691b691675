#include "tests/support/bus_standin.h"

#include <stdlib.h>

#include <gtest/gtest.h>

namespace brx_test {

BusStandin::BusStandin(const std::string &dir, const std::string &seed)
    : dir_(dir),
      socket_(dir + "/pcb_sys"),
      journal_(dir + "/pcb.journal"),
      seed_(seed.empty() ? source_path("platform/pcb/seed-gateway.json") : seed) {}

void BusStandin::keep_values() { state_ = dir_ + "/pcb.state"; }

void BusStandin::start() {
    std::vector<std::string> argv{build_path("platform/pcb/pcb_busd"), "-s", socket_, "-j", journal_};
    if (!state_.empty()) argv.insert(argv.end(), {"-t", state_});
    argv.push_back(seed_);
    proc_ = std::make_unique<Process>(argv);
    ASSERT_TRUE(proc_->wait_for_output("ready", std::chrono::seconds(10)))
        << "pcb_busd did not start: " << proc_->err();
}

void BusStandin::stop() {
    if (proc_) proc_->stop();
    proc_.reset();
}

std::string BusStandin::journal() const { return read_file(journal_); }

std::vector<std::string> BusStandin::lines() const { return lines_of(journal()); }

size_t BusStandin::count(const std::vector<std::string> &parts) const {
    size_t n = 0;
    for (const auto &line : lines()) {
        bool all = true;
        for (const auto &p : parts) all = all && line.find(p) != std::string::npos;
        if (all) n++;
    }
    return n;
}

void BusStandin::use_in_this_process() const {
    setenv("PCB_STANDIN_SOCKET", socket_.c_str(), 1);
    static const std::string path = build_path("platform/pcb") + ":" + getenv("PATH");
    setenv("PATH", path.c_str(), 1);
}

int BusStandin::cli(const std::vector<std::string> &args, std::string *out) const {
    std::vector<std::string> argv{build_path("platform/pcb/pcb_cli")};
    argv.insert(argv.end(), args.begin(), args.end());
    ProcResult r = run_process(argv, std::chrono::seconds(10), {{"PCB_STANDIN_SOCKET", socket_}});
    if (out) *out = r.out;
    return r.status;
}

}  // namespace brx_test
