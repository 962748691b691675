#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "src/pcb/pcb_pipe.h"
#include "src/pcb/pcb_plugin.h"
#include "src/pcb/pcblib/pcbclient2.h"

namespace {

struct Msg {
    char type;
    std::string payload;
};

void collect(char type, char *payload, size_t len, void *arg) {
    static_cast<std::vector<Msg> *>(arg)->push_back(Msg{type, std::string(payload, len)});
}

std::string frame(char type, const std::string &payload) {
    return std::string(1, type) + std::to_string(payload.size()) + "|" + payload;
}

class PipeTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(pipe(fds_), 0);
        fcntl(fds_[0], F_SETFL, fcntl(fds_[0], F_GETFL) | O_NONBLOCK);
        reader_ = pcb_pipe_reader_new();
        ASSERT_NE(reader_, nullptr);
    }
    void TearDown() override {
        pcb_pipe_reader_free(reader_);
        if (fds_[0] >= 0) close(fds_[0]);
        if (fds_[1] >= 0) close(fds_[1]);
    }
    void put(const std::string &bytes) { ASSERT_EQ(write(fds_[1], bytes.data(), bytes.size()), (ssize_t)bytes.size()); }
    int read_all() { return pcb_pipe_reader_read(reader_, fds_[0], collect, &got_); }

    int fds_[2] = {-1, -1};
    pcb_pipe_reader_t *reader_ = nullptr;
    std::vector<Msg> got_;
};

// Messages that arrive in pieces, down to single bytes, come out whole, once and in order.
TEST_F(PipeTest, PartialMessagesAreKeptUntilComplete) {
    const std::vector<Msg> sent = {
        {'P', "KAVPCB:homeautomation:HA-ID|0123456789AB"},
        {'P', "KAVPCB:gdclient:ConnectionStatus|"},      // empty value
        {'P', "KAVPCB:aphomeautomation:Text|a|b||c"},    // separators inside the value
        {'F', "Device.Info.echo|b|{\"returns\":null}"},
        {'O', ""},                                       // empty payload
    };
    std::string stream;
    for (const auto &m : sent) stream += frame(m.type, m.payload);

    for (size_t i = 0; i < stream.size(); i++) {
        put(stream.substr(i, 1));
        ASSERT_GE(read_all(), 0);
    }
    ASSERT_EQ(got_.size(), sent.size());
    for (size_t i = 0; i < sent.size(); i++) {
        EXPECT_EQ(got_[i].type, sent[i].type);
        EXPECT_EQ(got_[i].payload, sent[i].payload);
    }
    EXPECT_EQ(pcb_pipe_reader_pending(reader_), 0u);
}

// A message far larger than the pipe holds is written whole while the reader drains the pipe.
TEST_F(PipeTest, FullPipeNeitherCutsNorDropsMessages) {
    std::string big(1 << 20, 'x');
    big += "|tail";
    std::string stream = frame('O', "Device.Info|" + big) + frame('P', "KAVPCB:gdclient:After|1");
    int rc = -2;
    ssize_t written = 0;
    std::thread writer([&] { rc = pcb_pipe_write_all(fds_[1], stream.data(), stream.size(), &written); });
    while (got_.size() < 2) {
        struct pollfd p = {fds_[0], POLLIN, 0};
        ASSERT_GT(poll(&p, 1, 5000), 0) << "reader starved";
        ASSERT_GE(read_all(), 0);
    }
    writer.join();
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(written, (ssize_t)stream.size());
    EXPECT_EQ(got_[0].payload, "Device.Info|" + big);
    EXPECT_EQ(got_[1].payload, "KAVPCB:gdclient:After|1");
}

// A stream out of step is dropped; the reader picks up again with the next message written.
TEST_F(PipeTest, GarbageIsDroppedAndReadingResumes) {
    for (const char *garbage : {"Pxy|abc", "P|abc", "P123456789012345678901234567890|"}) {
        got_.clear();
        put(garbage);
        EXPECT_GE(read_all(), 0);
        EXPECT_TRUE(got_.empty()) << garbage;
        EXPECT_EQ(pcb_pipe_reader_pending(reader_), 0u) << garbage;
        put(frame('P', "KAVPCB:gdclient:X|1"));
        EXPECT_EQ(read_all(), 1) << garbage;
        ASSERT_EQ(got_.size(), 1u) << garbage;
        EXPECT_EQ(got_[0].payload, "KAVPCB:gdclient:X|1");
    }
}

TEST_F(PipeTest, EndOfFileIsReportedAfterCompleteMessages) {
    put(frame('P', "KAVPCB:gdclient:X|1") + "P10|shor");
    close(fds_[1]);
    fds_[1] = -1;
    EXPECT_EQ(read_all(), -1);
    ASSERT_EQ(got_.size(), 1u);
    EXPECT_EQ(got_[0].payload, "KAVPCB:gdclient:X|1");
}

TEST_F(PipeTest, WriteToAClosedPipeFails) {
    close(fds_[0]);
    fds_[0] = -1;
    signal(SIGPIPE, SIG_IGN);
    ssize_t written = -1;
    EXPECT_EQ(pcb_pipe_write_all(fds_[1], "P1|x", 4, &written), -1);
    EXPECT_EQ(written, 0);
}

// Result slots: 26 calls of one function may be pending, each with its own index; the 27th is
// refused rather than sharing an index. Other functions have slots of their own. Calls that never
// left the queue (no connector here) are gone at once when their owner is dropped.
TEST(PcbRegistry, PendingCallsOfOneFunctionAreCappedUntilTheirOwnerGoes) {
    int owner = 0, next_owner = 0;
    auto call = [](const char *function, const void *who) {
        auto *d = static_cast<custom_data_t *>(calloc(1, sizeof(custom_data_t)));
        d->owner = who;
        int rc = pcb_plugin_call_async_json_args(function, "{}", d);
        if (rc != 0) free(d);
        return rc;
    };
    EXPECT_EQ(call("nodot", &owner), -1);
    for (int i = 0; i < 26; i++) EXPECT_EQ(call("Device.Info.silent", &owner), 0) << i;
    EXPECT_EQ(call("Device.Info.silent", &owner), -1);
    EXPECT_EQ(call("Device.Info.echo", &owner), 0);
    EXPECT_EQ(pcb_plugin_call_async_json_args("Device.Info.silent", "{}", nullptr), -1);

    pcb_plugin_drop_owner(&next_owner);  // holds nothing
    EXPECT_EQ(call("Device.Info.silent", &next_owner), -1);
    pcb_plugin_drop_owner(&owner);
    for (int i = 0; i < 26; i++) EXPECT_EQ(call("Device.Info.silent", &next_owner), 0) << i;
    EXPECT_EQ(call("Device.Info.silent", &next_owner), -1);
}

// Routing: a table path and an event path match when they agree over the shorter of the two.
TEST(PcbRouting, PathsMatchOverTheShorterLength) {
    struct Case {
        const char *row, *event;
        bool match;
    } cases[] = {
        {"", "APService.HomeAutomation", true},  // the catch-all result route
        {"ZIR.HomeAutomation", "ZIR.HomeAutomation", true},
        {"ZIR.HomeAutomation", "ZIR.HomeAutomation.Sub", true},
        {"APService.GatewayClient", "APService", true},
        {"APService.HomeAutomation", "APService", true},
        {"APService.HomeAutomation", "APService.GatewayClient", false},
        {"ZIR.HomeAutomation", "ZIR.Other", false},
    };
    for (const auto &c : cases) EXPECT_EQ(pcbclient2_path_matches(c.row, c.event), c.match) << c.row << " / " << c.event;
}

}  // namespace
