#include "tests/pcb/bus_fixture.h"

#include <event2/event.h>
#include <stdlib.h>

#include <thread>

#include "src/device/status.h"

namespace pcb_test {

namespace {

void record(const char *data, void *arg) { static_cast<Results *>(arg)->got.push_back(data ? data : "<null>"); }

}  // namespace

custom_data_t *to(Results *r) {
    auto *d = static_cast<custom_data_t *>(malloc(sizeof(custom_data_t)));
    d->callback = record;
    d->arg = r;
    return d;
}

Bus::Bus(const std::string &dir) : socket_(dir + "/bus"), journal_(dir + "/bus.journal") {}

void Bus::start() {
    proc_ = std::make_unique<brx_test::Process>(std::vector<std::string>{
        brx_test::build_path("platform/pcb/pcb_busd"), "-s", socket_, "-j", journal_,
        brx_test::source_path("tests/pcb/seed-test.json")});
    ASSERT_TRUE(proc_->wait_for_output("ready", std::chrono::seconds(10))) << proc_->err();
}

void Bus::stop() {
    if (proc_) proc_->stop();
    proc_.reset();
}

std::string Bus::journal() const { return brx_test::read_file(journal_); }

std::vector<std::string> Bus::lines() const {
    std::string text = journal();
    std::vector<std::string> out;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t nl = text.find('\n', pos);
        if (nl == std::string::npos) nl = text.size();
        out.push_back(text.substr(pos, nl - pos));
        pos = nl + 1;
    }
    return out;
}

size_t Bus::count(const std::vector<std::string> &parts) const {
    size_t n = 0;
    for (const auto &line : lines()) {
        bool all = true;
        for (const auto &p : parts) all = all && line.find(p) != std::string::npos;
        if (all) n++;
    }
    return n;
}

int Bus::cli(const std::vector<std::string> &args, std::string *out) const {
    std::vector<std::string> argv{brx_test::build_path("platform/pcb/pcb_cli")};
    argv.insert(argv.end(), args.begin(), args.end());
    brx_test::ProcResult r = brx_test::run_process(argv, std::chrono::seconds(10), {{"PCB_STANDIN_SOCKET", socket_}});
    if (out) *out = r.out;
    return r.status;
}

void BridgeTest::SetUp() {
    redis_ = std::make_unique<brx_test::RedisPair>(dir_.file("redis"));
    bus_ = std::make_unique<Bus>(dir_.path());
    if (start_bus_) {
        ASSERT_NO_FATAL_FAILURE(bus_->start());
    }
    setenv("PCB_STANDIN_SOCKET", bus_->socket().c_str(), 1);
    std::string path = brx_test::build_path("platform/pcb") + ":" + getenv("PATH");
    setenv("PATH", path.c_str(), 1);

    base_ = event_base_new();
    ASSERT_NE(base_, nullptr);
    conf_ = db_create_redis_instance("conf");
    state_ = db_create_redis_instance("state");
    ASSERT_TRUE(conf_ && state_);
    db_set_is_local(conf_, 1);
    db_set_is_local(state_, 1);
    db_set_unix_path(conf_, redis_->conf.unix_path().c_str());
    db_set_unix_path(state_, redis_->state.unix_path().c_str());
    db_set_event_base(conf_, base_);
    db_set_event_base(state_, base_);
    status_setup_redis_instance(conf_, state_);
    pcb_plugin_setup_redis_instance(conf_, state_);
    ASSERT_EQ(pcb_plugin_start(base_), 0);
    if (start_bus_) {
        ASSERT_TRUE(watched(1)) << bus_->journal();
    }
}

void BridgeTest::TearDown() {
    // The connector thread lives on (it is never stopped); it only sees its bus go away.
    pcb_plugin_stop();
    if (bus_) bus_->stop();
}

bool BridgeTest::pump_until(const std::function<bool()> &pred, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        event_base_loop(base_, EVLOOP_NONBLOCK);
        if (pred()) return true;
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

bool BridgeTest::watched(size_t n, std::chrono::milliseconds timeout) {
    return pump_until(
        [&] {
            return bus_->count({"watch", "ZIR.HomeAutomation ", "0x1045"}) >= n &&
                   bus_->count({"watch", "APService.GatewayClient ", "0x1045"}) >= n &&
                   bus_->count({"watch", "APService.HomeAutomation ", "0x1045"}) >= n;
        },
        timeout);
}

}  // namespace pcb_test
