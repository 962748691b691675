// The script http module through the daemon's -l mode: Lua files against the scripted peer and, for
// the script servers, curl.
#include <cjson/cJSON.h>
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "tests/scripts/script_env.h"
#include "tests/support/appserver_peer.h"
#include "tests/support/engine_env.h"
#include "tests/support/redis_server.h"
#include "tests/support/test_support.h"

using namespace brx_test;
using namespace std::chrono_literals;

namespace {

class LuaHttpFile : public ::testing::Test, public LoadFileEnv {
protected:
    std::unique_ptr<Process> start(const std::string &fixture) {
        return std::make_unique<Process>(argv(fixture_path(fixture)));
    }

    /* The JSON a script stored at key; a test failure when it is missing or not JSON. */
    cJSON *json(const std::string &key) {
        auto v = redis->state.get(key);
        EXPECT_TRUE(v.has_value()) << key;
        cJSON *j = cJSON_Parse(v ? v->c_str() : "null");
        EXPECT_NE(j, nullptr) << key;
        parsed.push_back(j);
        return j;
    }
    static std::string str(cJSON *obj, const char *name) {
        cJSON *v = cJSON_GetObjectItemCaseSensitive(obj, name);
        if (cJSON_IsString(v)) return v->valuestring;
        if (cJSON_IsNumber(v)) return std::to_string((long long)v->valuedouble);
        if (cJSON_IsNull(v)) return "null";
        if (cJSON_IsObject(v)) return "object";
        return "missing";
    }
    void TearDown() override {
        for (cJSON *j : parsed) cJSON_Delete(j);
    }

    std::vector<cJSON *> parsed;
};

int closed_port() {
    int port = free_tcp_port();
    return port;
}

TEST_F(LuaHttpFile, ArgumentRulesAndCallbackShapes) {
    AppServerPeer peer(AppServerPeer::Options{
        AppServerPeer::Tls::None,
        {"127.0.0.1"},
        R"({"GET /get": {"body": "got", "headers": [["X-R", "first"], ["X-R", "last"]]},
            "GET /empty": {"status": 204},
            "default": {"body": "ok"}})"});
    redis->state.set("t:base", peer.url(""));
    redis->state.set("t:closed", std::to_string(closed_port()));
    auto p = start("l_http_args.lua");
    ASSERT_EQ(p->wait(60s), 0) << p->out();

    const std::string base = peer.url("");
    struct Shape {
        const char *name;
        int n;
        std::string code, url, body, arg4, arg5;  // "object" for a headers table
    };
    const Shape shapes[] = {
        {"get", 5, "200", base + "/get?q=1", "got", base + "/get?q=1", "object"},
        {"get_nil", 4, "204", base + "/empty", "null", "object", "missing"},
        {"post", 5, "200", base + "/post", "ok", "7", "object"},
        {"post_data_as_arg", 5, "200", base + "/post2", "ok", "plain", "object"},
        {"put", 4, "200", base + "/put", "ok", "object", "missing"},
        {"delete", 5, "200", base + "/del", "ok", "darg", "object"},
        {"subscribe", 4, "200", base + "/sub", "ok", "object", "missing"},
        {"unreachable", 4, "500", "", "null", "extra", "missing"},
        {"unreachable_nil", 3, "500", "", "null", "missing", "missing"},
        {"soap", 4, "200", base + "/soap", "ok", "object", "missing"},
        {"multipart", 5, "200", base + "/up", "ok", "marg", "object"},
    };
    for (const Shape &s : shapes) {
        SCOPED_TRACE(s.name);
        cJSON *got = json(std::string("t:got:") + s.name);
        EXPECT_EQ(str(got, "n"), std::to_string(s.n));
        EXPECT_EQ(str(got, "1"), s.code);
        if (!s.url.empty()) {
            EXPECT_EQ(str(got, "2"), s.url);
        }
        EXPECT_EQ(str(got, "3"), s.body);
        EXPECT_EQ(str(got, "4"), s.arg4);
        EXPECT_EQ(str(got, "5"), s.arg5);
    }
    // A repeated response header keeps its last value.
    cJSON *get = json("t:got:get");
    EXPECT_EQ(str(cJSON_GetObjectItemCaseSensitive(get, "5"), "X-R"), "last");
    EXPECT_EQ(redis->state.get("t:refused"), "0");
    EXPECT_FALSE(redis->state.get("t:refused_called").has_value());

    ASSERT_TRUE(peer.wait_requests(10));
    std::map<std::string, LoggedRequest> by_target;
    for (const auto &r : peer.requests()) by_target[r.method + " " + r.target] = r;

    const LoggedRequest &post = by_target["POST /post"];
    EXPECT_EQ(post.body, "data");
    EXPECT_EQ(post.header("X-A"), "1");
    EXPECT_EQ(post.header_count("X-N"), 0u);
    EXPECT_EQ(by_target["POST /post2"].body, "plain");

    const LoggedRequest &put = by_target["PUT /put"];
    EXPECT_EQ(put.body, "42");
    EXPECT_EQ(put.header("Content-Type"), "text/plain");
    EXPECT_EQ(put.header_count("Content-Type"), 1u);

    EXPECT_EQ(by_target["DELETE /del"].header("X-D"), "d");
    const LoggedRequest &sub = by_target["SUBSCRIBE /sub"];
    EXPECT_EQ(sub.header("CALLBACK"), "<http://127.0.0.1/cb>");
    EXPECT_EQ(sub.header("NT"), "upnp:event");
    EXPECT_EQ(sub.header_count("Content-Length"), 0u);

    const std::string envelope =
        "<s:Envelope xmlns:s='http://schemas.xmlsoap.org/soap/envelope/' "
        "s:encodingStyle='http://schemas.xmlsoap.org/soap/encoding/'><s:Body>"
        "<u:SetTarget xmlns:u='urn:schemas-upnp-org:service:SwitchPower:1'><newTargetValue>1</newTargetValue>"
        "</u:SetTarget></s:Body></s:Envelope>";
    EXPECT_EQ(by_target["POST /soap"].raw,
              "POST /soap HTTP/1.1\r\nHost: 127.0.0.1\r\nAccept: */*\r\nConnection: close\r\n"
              "Content-Type: text/xml\r\nSOAPACTION: urn:schemas-upnp-org:service:SwitchPower:1#SetTarget\r\n"
              "Content-Length: " + std::to_string(envelope.size()) + "\r\n\r\n" + envelope);
    EXPECT_EQ(by_target["POST /soap4"].header("SOAPACTION"), "urn:x#Quiet");

    const LoggedRequest &up = by_target["POST /up"];
    EXPECT_NE(up.body.find("filename=\"snap.jpg\""), std::string::npos);
    EXPECT_NE(up.body.find(std::string("\r\n\r\n\xff\0jpeg\r\n", 11)), std::string::npos);
}

TEST_F(LuaHttpFile, CancelAllRequestsInTheFirstPiece) {
    AppServerPeer peer(AppServerPeer::Options{
        AppServerPeer::Tls::None,
        {"127.0.0.1"},
        R"({"GET /never": {"delay": 0.5, "body": "too late"},
            "GET /chunks": {"chunks": ["a", "b", "c"], "piece_delay": 0.1},
            "GET /late": {"delay": 1.5, "body": "late"}})"});
    redis->state.set("t:base", peer.url(""));
    auto p = start("l_http_chunked_cancel.lua");
    ASSERT_EQ(p->wait(60s), 0) << p->out();
    EXPECT_EQ(redis->state.get("t:pieces"), "1");
    EXPECT_EQ(redis->state.get("t:piece:1"), "a");
    EXPECT_FALSE(redis->state.get("t:never").has_value());
    EXPECT_NE(p->out().find("cancel all client requests"), std::string::npos);
}

TEST_F(LuaHttpFile, HostileServersEndInOne500EachAndTheEngineStaysSmall) {
    const std::string head = "HTTP/1.1 200 OK\r\n", unit(64 * 1024, 'x');
    const std::string chunked = head + "Transfer-Encoding: chunked\r\n\r\n";
    const std::vector<std::pair<std::string, std::string>> servers = {
        {"/endless_body", endless_reply(head + "\r\n", unit)},
        {"/huge_length", endless_reply(head + "Content-Length: 1073741824\r\n\r\n", unit)},
        {"/endless_headers", endless_reply(head, "X-A: " + std::string(1000, 'h') + "\r\n")},
        {"/huge_chunk", endless_reply(chunked + "40000000\r\n", unit)},
    };
    std::string rules = "{";
    for (const auto &s : servers) rules += (rules.size() > 1 ? ", " : "") + ("\"GET " + s.first + "\": ") + s.second;
    AppServerPeer peer(AppServerPeer::Options{AppServerPeer::Tls::None, {"127.0.0.1"}, rules + "}"});
    redis->state.set("t:base", peer.url(""));
    // Over and over against the endless body: nothing may pile up.
    redis->state.set("t:steps", R"([["get", "/endless_body"], ["get", "/huge_length"], ["get", "/endless_headers"],
                                    ["get_chunked", "/huge_chunk"], ["get", "/endless_body"], ["get", "/endless_body"]])");

    std::vector<std::string> args = argv(fixture_path("l_http_client_hostile.lua"));
    std::map<std::string, std::string> env;
    ChildLimits limits;
    limits.memory_mb = 512;
    limit_child(limits, &args, &env);
    Process p(args, env);
    ASSERT_TRUE(wait_until([&] { return numsub(redis->state, "t:go") == 1 || !p.running(); }, 30s)) << p.out();
    const long idle = process_memory_kib(p.pid(), "VmRSS");
    ASSERT_GT(idle, 0);
    redis->state.command({"PUBLISH", "t:go", "1"});
    ASSERT_TRUE(wait_until([&] { return redis->state.get("t:done").has_value() || !p.running(); }, 60s)) << p.out();
    const long peak = process_memory_kib(p.pid(), "VmHWM");
    EXPECT_LT(peak - idle, 64 * 1024) << "idle " << idle << " KiB, peak " << peak << " KiB";

    const char *const paths[] = {"/endless_body", "/huge_length", "/endless_headers", "/huge_chunk", "/endless_body",
                                 "/endless_body"};
    for (int i = 0; i < 6; i++) {
        SCOPED_TRACE(paths[i]);
        cJSON *got = json("t:got:" + std::to_string(i + 1));
        EXPECT_EQ(str(got, "n"), "3");
        EXPECT_EQ(str(got, "code"), "500");
        EXPECT_EQ(str(got, "url"), peer.url(paths[i]));
        EXPECT_EQ(str(got, "body"), "null");
        EXPECT_EQ(str(got, "headers"), "null");
        EXPECT_TRUE(peer.wait_output("ENDLESS GET " + std::string(paths[i]) + " closed after"));
    }
    redis->state.command({"PUBLISH", "t:exit", "1"});
    EXPECT_EQ(p.wait(20s), 0) << p.out();
}

TEST_F(LuaHttpFile, ScriptServerDrivenByCurl) {
    const int port = free_tcp_port(), port2 = free_tcp_port();
    redis->state.set("t:port", std::to_string(port));
    redis->state.set("t:port2", std::to_string(port2));
    auto p = start("l_http_server.lua");
    ASSERT_TRUE(wait_until([&] { return redis->state.get("t:ready").has_value() || !p->running(); }, 30s))
        << p->out();
    ASSERT_EQ(redis->state.get("t:ready"), "yes") << p->out();

    struct Call {
        std::vector<std::string> curl_args;  // after the URL
        std::string path;                   // with the query
        std::string want_status, want_body;
        std::string method, handler_path, handler_body;  // what the handler saw; method "" for none
    };
    const std::string url = "http://127.0.0.1:" + std::to_string(port);
    const Call calls[] = {
        {{}, "/a?b=1", "201", "ok", "GET", "/a&b=1", ""},
        {{"-X", "PUT", "-H", "Content-Type: text/plain", "--data-binary", "payload"}, "/p", "201", "ok", "PUT", "/p",
         "payload"},
        {{"-d", "k=v&x=y"}, "/form", "201", "ok", "POST", "/form&k=v&x=y", "k=v&x=y"},
        {{"-X", "SUBSCRIBE"}, "/evt", "201", "ok", "null", "/evt", ""},
        {{}, "/raise", "500", "Internal server erorr", "GET", "/raise", ""},
        {{}, "/table", "500", "Internal server erorr", "GET", "/table", ""},
        {{}, "/number", "202", "12", "GET", "/number", ""},
        {{}, "/" + std::string(1500, 'x'), "201", "ok", "GET", "/" + std::string(1022, 'x'), ""},
    };
    int n = 0;
    for (const Call &c : calls) {
        SCOPED_TRACE(c.path.substr(0, 40));
        std::vector<std::string> argv = {"curl", "-s", "-S", "--max-time", "20", "-o", "-", "-w", "|%{http_code}",
                                         url + c.path};
        argv.insert(argv.end(), c.curl_args.begin(), c.curl_args.end());
        ProcResult r = run_process(argv, 30s);
        EXPECT_EQ(r.out, c.want_body + "|" + c.want_status) << r.err;
        cJSON *req = json("t:req:" + std::to_string(++n));
        EXPECT_EQ(str(req, "method"), c.method);
        EXPECT_EQ(str(req, "path"), c.handler_path);
        EXPECT_EQ(str(req, "body"), c.handler_body);
    }
    EXPECT_NE(p->out().find("handler broke"), std::string::npos);

    // The server whose handler is its own port number answers everything with 500.
    ProcResult r = run_process({"curl", "-s", "--max-time", "20", "-o", "-", "-w", "|%{http_code}",
                                "http://127.0.0.1:" + std::to_string(port2) + "/any"},
                               30s);
    EXPECT_EQ(r.out, "Internal server erorr|500");

    // Stopped from inside its own handler: the answer still goes out, then nothing listens.
    r = run_process({"curl", "-s", "--max-time", "20", "-o", "-", "-w", "|%{http_code}", url + "/stop"}, 30s);
    EXPECT_EQ(r.out, "stopped|200");
    EXPECT_NE(p->out().find("cleanup_server_context ctx"), std::string::npos);
    EXPECT_NE(p->out().find("not in the list (already freed) or list is empty"), std::string::npos);
    r = run_process({"curl", "-s", "--max-time", "20", url + "/after"}, 30s);
    EXPECT_NE(r.status, 0);

    redis->state.command({"PUBLISH", "t:exit", "1"});
    EXPECT_EQ(p->wait(20s), 0) << p->out();
}

}  // namespace
