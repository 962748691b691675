#ifndef BRX_TESTS_UPGRADE_FIRMWARE_TOOLS_H
#define BRX_TESTS_UPGRADE_FIRMWARE_TOOLS_H

/*
 * What the upgrade tests give the engine in place of the firmware tools: a directory of stand-in
 * commands that only log how they were called (tests/upgrade/standin.sh), the signature check
 * (tests/upgrade/verify.sh, a real openssl verification), a key pair made at run time, and
 * helpers to sign images and to write offers.
 */

#include <string>
#include <vector>

#include "tests/support/test_support.h"

namespace brx_test {

class FirmwareTools {
public:
    FirmwareTools();
    /* Links one more stand-in command of that name into the directory; its path. */
    std::string add_command(const std::string &name) const;
    std::string path(const std::string &name) const { return dir_.file(name); }
    std::string upgrade_cmd() const { return path("fw_upgrade"); }
    std::string prepare_cmd() const { return path("fw_prepare"); }
    std::string verify_cmd() const { return path("fw_verify"); }
    const std::string &pubkey() const;
    /* The lines of commands.log, in call order ("fw_upgrade [/tmp/fw_x] [token]"). */
    std::vector<std::string> calls() const;
    /* Those of one command. */
    std::vector<std::string> calls_of(const std::string &name) const;

private:
    TempDir dir_;
};

/* The base64 signature of data with the test key. */
std::string sign(const std::string &data);
/* The MD5 of data as lower-case hex. */
std::string md5_hex(const std::string &data);
/* An offer element as the server sends it (members in the server's order). */
std::string offer_json(const std::string &kind_class, const std::string &domain, const std::string &vendor,
                       const std::string &model, const std::string &version, const std::string &url,
                       const std::string &signature, const std::string &md5);
/* The image paths that the engine's log names as created, in order. */
std::vector<std::string> created_images(const std::string &log);

}  // namespace brx_test

#endif
