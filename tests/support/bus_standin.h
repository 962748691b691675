#ifndef BRX_TESTS_SUPPORT_BUS_STANDIN_H
#define BRX_TESTS_SUPPORT_BUS_STANDIN_H

/*
 * The gateway bus stand-in for one test: pcb_busd on a seed, with its socket and journal in a
 * directory of the test's, and the command-line tool pointed at it.
 */

#include <memory>
#include <string>
#include <vector>

#include "tests/support/test_support.h"

namespace brx_test {

class BusStandin {
public:
    /* Socket "<dir>/pcb_sys", journal "<dir>/pcb.journal"; an empty seed is platform/pcb/seed-gateway.json. */
    explicit BusStandin(const std::string &dir, const std::string &seed = "");
    /* From the next start on, the bus keeps its parameter values across restarts ("<dir>/pcb.state"). */
    void keep_values();
    /* Starts pcb_busd and waits until it listens (a fatal test failure when it does not). */
    void start();
    void stop();
    const std::string &socket() const { return socket_; }
    std::string journal() const;
    std::vector<std::string> lines() const;
    /* Journal lines that contain every one of the parts. */
    size_t count(const std::vector<std::string> &parts) const;
    /* Points the engine code of this test process at this bus: its socket, and pcb_cli on PATH. */
    void use_in_this_process() const;
    /* pcb_cli with these arguments against this bus; its exit status. */
    int cli(const std::vector<std::string> &args, std::string *out = nullptr) const;

private:
    std::string dir_, socket_, journal_, seed_, state_;
    std::unique_ptr<Process> proc_;
};

}  // namespace brx_test

#endif
