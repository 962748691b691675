// The configuration file parser and the process-wide store.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "common/conffile/conffile.h"
#include "src/device_cfg.h"
#include "tests/support/test_support.h"

using brx_test::TempDir;
using brx_test::write_file;

namespace {

struct ParseCase {
    const char *name;
    std::string text;
    bool accepted;
    std::map<std::string, std::string> expect;  // key -> value ("<absent>" for none)
    std::string error = "";                      // why a rejected file failed, as the engine prints it
};

const char *kAbsent = "<absent>";

void PrintTo(const ParseCase &c, std::ostream *os) { *os << c.name; }

class ParserTable : public ::testing::TestWithParam<ParseCase> {};

TEST_P(ParserTable, ParsesAsExpected) {
    const ParseCase &c = GetParam();
    TempDir dir;
    write_file(dir.file("c.conf"), c.text);
    ConfigFile *cf = configFileLoad(dir.file("c.conf").c_str());
    ASSERT_EQ(cf != nullptr, c.accepted);
    EXPECT_EQ(std::string(configFileLoadError()), c.error);
    for (const auto &kv : c.expect) {
        const char *v = configFileValue(cf, kv.first.c_str());
        if (kv.second == kAbsent)
            EXPECT_EQ(v, nullptr) << kv.first;
        else {
            ASSERT_NE(v, nullptr) << kv.first;
            EXPECT_EQ(std::string(v), kv.second) << kv.first;
        }
    }
    configFileFree(cf);
}

std::string long_file() {
    // A key at the 4095-byte boundary: only what fits is parsed.
    std::string filler = "pad=" + std::string(4080, 'x') + "\n";  // 4085 bytes
    return filler + "cut=abcdefghijk\n";                             // "cut=abcdef" ends at 4095
}

INSTANTIATE_TEST_SUITE_P(
    Syntax, ParserTable,
    ::testing::Values(
        ParseCase{"minimal", "a=1", true, {{"a", "1"}}},
        ParseCase{"empty_value", "a=\n", true, {{"a", ""}}},
        ParseCase{"empty_key", "=v\n", true, {{"", "v"}}},
        ParseCase{"blanks_and_words", "  key \t=  two words\n", true, {{"key", "two"}}},
        ParseCase{"quoted", "k = \"two words\" tail\n", true, {{"k", "two words"}}},
        ParseCase{"escaped_quote", "k=\"a\\\"b\"\n", true, {{"k", "a\"b"}}},
        ParseCase{"other_backslash_stays", "k=\"a\\nb\"\n", true, {{"k", "a\\nb"}}},
        ParseCase{"unterminated_quote", "k=\"open to end\nn=2\n", true, {{"k", "open to end"}, {"n", "2"}}},
        ParseCase{"later_equals_belong_to_value", "url=http://h/?a=b\n", true, {{"url", "http://h/?a=b"}}},
        ParseCase{"crlf_and_blank_lines", "a=1\r\n\r\n\r\nb=2\r\n", true, {{"a", "1"}, {"b", "2"}}},
        ParseCase{"duplicate_last_wins", "a=1\nb=x\na=2\n", true, {{"a", "2"}}},
        ParseCase{"hash_word_rejects", "#comment\na=1\n", false, {},
                  "line 1 has no '=' (every line is key = value): \"#comment\""},
        ParseCase{"hash_pair_is_ordinary", "#k=v\na=1\n", true, {{"#k", "v"}, {"a", "1"}}},
        ParseCase{"line_without_equals_rejects", "a=1\nbogus\n", false, {},
                  "line 2 has no '=' (every line is key = value): \"bogus\""},
        ParseCase{"blank_only_line_rejects", "a=1\n   \n", false, {},
                  "line 2 has no '=' (every line is key = value): \"   \""},
        ParseCase{"rejected_line_counted_across_blank_and_crlf_lines", "a=1\r\n\r\nb=2\rc=3\n\n\tno\x01pair\r\n", false,
                  {}, "line 6 has no '=' (every line is key = value): \"?no?pair\""},
        ParseCase{"long_rejected_line_is_shortened", "a=1\n" + std::string(100, 'w') + "\n", false, {},
                  "line 2 has no '=' (every line is key = value): \"" + std::string(44, 'w') + "...\""},
        ParseCase{"cut_at_4095", long_file(), true, {{"cut", "abcdef"}}}),
    [](const ::testing::TestParamInfo<ParseCase> &i) { return std::string(i.param.name); });

TEST(Parser, MissingFileAndNullArguments) {
    EXPECT_EQ(configFileLoad(nullptr), nullptr);
    EXPECT_STREQ(configFileLoadError(), "no configuration file given");
    EXPECT_EQ(configFileLoad("/nonexistent/brx.conf"), nullptr);
    EXPECT_STREQ(configFileLoadError(), "cannot open it: No such file or directory");
    EXPECT_EQ(configFileValue(nullptr, "a"), nullptr);
    TempDir dir;
    write_file(dir.file("e.conf"), "");
    ConfigFile *cf = configFileLoad(dir.file("e.conf").c_str());
    ASSERT_NE(cf, nullptr);
    EXPECT_EQ(configFileValue(cf, "a"), nullptr);
    EXPECT_EQ(configFileValue(cf, nullptr), nullptr);
    configFileFree(cf);
}

TEST(Parser, PairsRunFromTheLastLineUp) {
    TempDir dir;
    write_file(dir.file("o.conf"), "first=1\nsecond=2\nthird=3\n");
    ConfigFile *cf = configFileLoad(dir.file("o.conf").c_str());
    ASSERT_NE(cf, nullptr);
    std::string order;
    for (ConfigPair *p = configFileNextKVPair(cf, nullptr); p; p = configFileNextKVPair(cf, p))
        order += std::string(configFilePairGetKey(p)) + ",";
    EXPECT_EQ(order, "third,second,first,");
    configFileFree(cf);
}

// The store: each case runs in a process of its own, so the store starts fresh.
struct StoreCase {
    const char *name;
    std::string file;
    std::function<void()> overrides;
    std::function<void()> check;
};

void PrintTo(const StoreCase &c, std::ostream *os) { *os << c.name; }

class StoreTable : public ::testing::TestWithParam<StoreCase> {};

TEST_P(StoreTable, Settles) {
    const StoreCase &c = GetParam();
    TempDir dir;
    write_file(dir.file("s.conf"), c.file);
    if (c.overrides) c.overrides();
    ASSERT_EQ(cfg_setup_from_file(dir.file("s.conf").c_str()), 0);
    c.check();
}

INSTANTIATE_TEST_SUITE_P(
    Values, StoreTable,
    ::testing::Values(
        StoreCase{"defaults", "x=1\n", nullptr,
                  [] {
                      EXPECT_EQ(cfg_get_type(), nullptr);
                      EXPECT_EQ(cfg_get_redis_port(), 6379);
                      EXPECT_EQ(cfg_get_use_port(), 0);
                      EXPECT_EQ(cfg_is_daemon(), 0);
                      EXPECT_EQ(cfg_get_max_buffer_size(), 4096u);
                      EXPECT_EQ(cfg_get_server_port(), 7402);
                      EXPECT_STREQ(cfg_get_history_path(), ".");
                      EXPECT_STREQ(cfg_get_mac_str(), "");
                      EXPECT_STREQ(get_proper_mac_formatted(), "");
                  }},
        StoreCase{"type_override_wins", "device.type=camera\n", [] { cfg_set_type("gateway"); },
                  [] { EXPECT_STREQ(cfg_get_type(), "gateway"); }},
        StoreCase{"ipv4_override_wins", "device.ipv4=10.0.0.1\n", [] { cfg_set_ipv4("192.0.2.9"); },
                  [] { EXPECT_STREQ(cfg_get_ipv4(), "192.0.2.9"); }},
        StoreCase{"mac_override_wins", "device.mac_addr=AABBCCDDEEFF\n", [] { cfg_set_mac_str("001122334455"); },
                  [] {
                      EXPECT_STREQ(cfg_get_mac_str(), "001122334455");
                      EXPECT_STREQ(get_proper_mac_formatted(), "00:11:22:33:44:55");
                  }},
        StoreCase{"empty_mac_override_lets_file_apply", "device.mac_addr=aabbccddeeff\n", [] { cfg_set_mac_str(""); },
                  [] { EXPECT_STREQ(get_proper_mac_formatted(), "aa:bb:cc:dd:ee:ff"); }},
        StoreCase{"short_mac_has_no_colon_form", "device.mac_addr=abc\n", nullptr,
                  [] {
                      EXPECT_STREQ(cfg_get_mac_str(), "abc");
                      EXPECT_STREQ(get_proper_mac_formatted(), "");
                  }},
        StoreCase{"daemon_yes", "daemon=yes\n", nullptr, [] { EXPECT_EQ(cfg_is_daemon(), 1); }},
        StoreCase{"daemon_upper_is_no", "daemon=YES\n", nullptr, [] { EXPECT_EQ(cfg_is_daemon(), 0); }},
        StoreCase{"daemon_flag_beats_file", "daemon=no\n", [] { cfg_set_daemon("yes"); },
                  [] { EXPECT_EQ(cfg_is_daemon(), 1); }},
        StoreCase{"dump_discovery_upper", "device.dump_discovery=YES\n", nullptr,
                  [] { EXPECT_EQ(cfg_get_dump_discovery_packets(), 1); }},
        StoreCase{"dump_discovery_empty_unchanged", "device.dump_discovery=\n", nullptr,
                  [] { EXPECT_EQ(cfg_get_dump_discovery_packets(), 0); }},
        StoreCase{"max_buf_negative_clamps_high", "device.discovery.max_buf=-1\n", nullptr,
                  [] { EXPECT_EQ(cfg_get_max_buffer_size(), 1048576u); }},
        StoreCase{"max_buf_small_clamps_low", "device.discovery.max_buf=100\n", nullptr,
                  [] { EXPECT_EQ(cfg_get_max_buffer_size(), 4096u); }},
        StoreCase{"server_host_port", "server=example.invalid:8443:x\n", nullptr,
                  [] {
                      EXPECT_STREQ(cfg_get_server_addr(), "example.invalid");
                      EXPECT_EQ(cfg_get_server_port(), 8443);
                  }},
        StoreCase{"server_without_port", "server=hostonly\n", nullptr,
                  [] {
                      EXPECT_STREQ(cfg_get_server_addr(), "hostonly");
                      EXPECT_EQ(cfg_get_server_port(), 0);
                  }},
        StoreCase{"serial_sum_wraps", "serial=99999999999999999999999999999999\n", nullptr,
                  [] { EXPECT_EQ(cfg_get_hash(), (uint8_t)(32 * 9)); }},
        StoreCase{"numbers", "device.redis.port=7000\ndevice.redis.use_port=1\nhistory.length_days=x\n"
                             "check_upgrade_each.minutes=15\ntest.read_netid=0\n",
                  nullptr,
                  [] {
                      EXPECT_EQ(cfg_get_redis_port(), 7000);
                      EXPECT_EQ(cfg_get_use_port(), 1);
                      EXPECT_EQ(cfg_get_history_length_days(), 60);
                      EXPECT_EQ(cfg_get_upgrade_each_minutes(), 15);
                      EXPECT_EQ(cfg_get_test_use_netid(), 0);
                  }},
        StoreCase{"texts", "scripts.dir=/s\nscripts.default_driver=lan.lua\ndevice.redis.socket_path=/tmp/r\n"
                           "device.local_db.file=/tmp/l.json\nca_cert_path=/ca.pem\nupgrade_cmd=\"up grade\"\n",
                  nullptr,
                  [] {
                      EXPECT_STREQ(cfg_get_scripts_dir(), "/s");
                      EXPECT_STREQ(cfg_get_default_driver_name(), "lan.lua");
                      EXPECT_STREQ(cfg_get_redis_socket_path(), "/tmp/r");
                      EXPECT_STREQ(cfg_get_local_db_file_path(), "/tmp/l.json");
                      EXPECT_STREQ(cfg_ca_cert_path(), "/ca.pem");
                      EXPECT_STREQ(cfg_get_upgrade_cmd(), "up grade");
                  }}),
    [](const ::testing::TestParamInfo<StoreCase> &i) { return std::string(i.param.name); });

TEST(Store, FailedLoadKeepsOverrides) {
    cfg_set_type("gateway");
    EXPECT_EQ(cfg_setup_from_file("/nonexistent/brx.conf"), -1);
    EXPECT_STREQ(cfg_get_type(), "gateway");
    EXPECT_STREQ(cfg_get_config_file_path(), "/nonexistent/brx.conf");
}

TEST(Store, SettersTakeTheStoredValueBack) {
    // A getter's result handed back to its setter must survive the replacement.
    cfg_set_type("gateway");
    cfg_set_type(cfg_get_type());
    EXPECT_STREQ(cfg_get_type(), "gateway");
    cfg_set_server_url("https://example.invalid/");
    cfg_update_url(cfg_get_server_url());
    EXPECT_STREQ(cfg_get_server_url(), "https://example.invalid/");
    cfg_set_type(nullptr);
    EXPECT_EQ(cfg_get_type(), nullptr);
}

// The local run's configuration is parsed by the engine's own rules (no comment syntax): one bad line
// would stop the README's run command at its first step.
TEST(Store, TheLocalRunConfigurationLoads) {
    ASSERT_EQ(cfg_setup_from_file(brx_test::source_path("conf/local.conf").c_str()), 0);
    EXPECT_STREQ(cfg_get_type(), "gateway");
    EXPECT_STREQ(cfg_get_upgrade_cmd(), "/tmp/brixmoor-local/upgrade/upgrade.sh");
}

TEST(Store, AuthCodeIsFixedAtFirstCall) {
    uint32_t a = 0, b = 0;
    cfg_get_auth_code(&a);
    sleep(1);
    cfg_get_auth_code(&b);
    EXPECT_NE(a, 0u);
    EXPECT_EQ(a, b);
}

}  // namespace
