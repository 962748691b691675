#include "tests/backup/backup_env.h"

#include <cjson/cJSON.h>

#include "tests/support/test_support.h"

namespace backup_test {

std::string quoted(const std::string &s) {
    cJSON *j = cJSON_CreateString(s.c_str());
    char *text = cJSON_PrintUnformatted(j);
    std::string out = text;
    cJSON_free(text);
    cJSON_Delete(j);
    return out;
}

std::string reply(int status, const std::string &body, const std::string &more) {
    return "{\"status\": " + std::to_string(status) + ", \"body\": " + quoted(body) + (more.empty() ? "" : ", " + more) +
           "}";
}

std::string rules(const std::vector<std::pair<std::string, std::string>> &pairs) {
    std::string out = "{";
    for (const auto &p : pairs) out += (out.size() > 1 ? ", " : "") + quoted(p.first) + ": " + p.second;
    return out + "}";
}

std::vector<std::pair<std::string, std::string>> members(const std::string &text) {
    std::vector<std::pair<std::string, std::string>> out;
    cJSON *json = cJSON_Parse(text.c_str());
    if (!cJSON_IsObject(json)) {
        ADD_FAILURE() << "not a JSON object: " << text;
        cJSON_Delete(json);
        return out;
    }
    for (const cJSON *m = json->child; m; m = m->next) {
        if (cJSON_IsString(m)) {
            out.emplace_back(m->string, m->valuestring);
        } else {
            char *printed = cJSON_PrintUnformatted(m);
            out.emplace_back(m->string, printed);
            cJSON_free(printed);
        }
    }
    cJSON_Delete(json);
    return out;
}

BackupTest::BackupTest() {
    env.state().set("LAN:networkid", "N1");
    env.state().set("device:LAN:0200C0000201", "N1-1");
}

void BackupTest::start() {
    ASSERT_TRUE(env.start());
    ASSERT_TRUE(env.wait_log("Cannot init db_persist or persist disabled")) << env.log();
}

std::vector<LoggedRequest> BackupTest::requests(const std::string &method, const std::string &path) const {
    std::vector<LoggedRequest> out;
    for (auto &r : env.appserver().requests())
        if (r.method == method && r.target == path) out.push_back(r);
    return out;
}

bool BackupTest::wait_requests(const std::string &method, const std::string &path, size_t n,
                               std::chrono::milliseconds timeout) const {
    return wait_until([&] { return requests(method, path).size() >= n; }, timeout);
}

bool BackupTest::has_line(const std::string &level, const std::string &text) const {
    return env.log().find(level + " " + kCategory + text + "\n") != std::string::npos;
}

bool BackupTest::wait_line(const std::string &level, const std::string &text,
                           std::chrono::milliseconds timeout) const {
    return wait_until([&] { return has_line(level, text); }, timeout);
}

bool BackupTest::state_is(const std::string &key, const std::string &value, std::chrono::milliseconds timeout) {
    return wait_until([&] { return env.state().get(key) == value; }, timeout);
}

}  // namespace backup_test
