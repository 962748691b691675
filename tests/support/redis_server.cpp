#include "tests/support/redis_server.h"

#include <arpa/inet.h>
#include <hiredis/hiredis.h>
#include <netinet/in.h>
#include <signal.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <random>
#include <stdexcept>

namespace brx_test {

namespace {

Reply decode(const redisReply *r) {
    Reply out;
    if (!r) return out;
    out.type = r->type;
    switch (r->type) {
    case REDIS_REPLY_STRING:
    case REDIS_REPLY_STATUS:
    case REDIS_REPLY_ERROR: out.str.assign(r->str, r->len); break;
    case REDIS_REPLY_INTEGER: out.integer = r->integer; break;
    case REDIS_REPLY_ARRAY:
        for (size_t i = 0; i < r->elements; i++) out.elements.push_back(decode(r->element[i]));
        break;
    default: break;
    }
    return out;
}

Reply run_argv(redisContext *c, const std::vector<std::string> &args) {
    std::vector<const char *> argv;
    std::vector<size_t> lens;
    for (const auto &a : args) {
        argv.push_back(a.c_str());
        lens.push_back(a.size());
    }
    auto *r = static_cast<redisReply *>(redisCommandArgv(c, (int)argv.size(), argv.data(), lens.data()));
    if (!r) throw std::runtime_error(std::string("redis command failed: ") + c->errstr);
    Reply out = decode(r);
    freeReplyObject(r);
    return out;
}

}  // namespace

bool Reply::is_nil() const { return type == REDIS_REPLY_NIL || type == 0; }
bool Reply::is_error() const { return type == REDIS_REPLY_ERROR; }

namespace {

bool port_free(int type, const std::string &bind, int port) {
    int fd = socket(AF_INET, type, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons((uint16_t)port);
    inet_pton(AF_INET, bind.c_str(), &a.sin_addr);
    bool ok = ::bind(fd, (sockaddr *)&a, sizeof a) == 0;
    close(fd);
    return ok;
}

/* A port that was free a moment ago, with the next one free too. */
int free_port_pair(int type, const std::string &bind) {
    static std::mt19937 rng(std::random_device{}());
    for (int attempt = 0; attempt < 200; attempt++) {
        int port = 20000 + (int)(rng() % 30000);
        if (port_free(type, bind, port) && port_free(type, bind, port + 1)) return port;
    }
    throw std::runtime_error("no free port");
}

}  // namespace

// The conf instance of a pair takes the next port too.
int free_tcp_port(const std::string &bind) { return free_port_pair(SOCK_STREAM, bind); }

int free_udp_port(const std::string &bind) { return free_port_pair(SOCK_DGRAM, bind); }

RedisServer::RedisServer(const std::string &unix_path, int port, const std::string &bind,
                         const std::vector<std::string> &wrap)
    : unix_path_(unix_path), port_(port), bind_(bind), wrap_(wrap) {
    start();
}

RedisServer::~RedisServer() { stop(); }

void RedisServer::start() {
    if (proc_) return;
    unlink(unix_path_.c_str());
    size_t slash = unix_path_.rfind('/');
    std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : unix_path_.substr(0, slash);
    std::string base = slash == std::string::npos ? unix_path_ : unix_path_.substr(slash + 1);
    std::vector<std::string> argv = wrap_;
    argv.insert(argv.end(), {"redis-server",
                             "--unixsocket", unix_path_,
                             "--unixsocketperm", "777",
                             "--port", std::to_string(port_),
                             "--bind"});
    for (size_t pos = 0; pos < bind_.size();) {
        size_t end = bind_.find(' ', pos);
        if (end == std::string::npos) end = bind_.size();
        if (end > pos) argv.push_back(bind_.substr(pos, end - pos));
        pos = end + 1;
    }
    argv.insert(argv.end(), {"--notify-keyspace-events", "KA",
                             "--save", "",
                             "--appendonly", "no",
                             "--protected-mode", "no",
                             "--daemonize", "no",
                             // A replica writes the data it receives to disk: keep it beside the socket,
                             // where no other server would load it at its start.
                             "--dir", dir,
                             "--dbfilename", base + ".rdb"});
    proc_ = std::make_unique<Process>(argv);
    bool up = wait_until(
        [&] {
            redisContext *c = redisConnectUnix(unix_path_.c_str());
            bool ok = false;
            if (c && !c->err) {
                auto *r = static_cast<redisReply *>(redisCommand(c, "PING"));
                ok = r && r->type == REDIS_REPLY_STATUS;
                if (r) freeReplyObject(r);
            }
            if (c) redisFree(c);
            return ok;
        },
        std::chrono::seconds(10));
    if (!up) {
        std::string err = proc_->out() + proc_->err();
        proc_.reset();
        throw std::runtime_error("redis-server did not start: " + err);
    }
}

void RedisServer::stop() {
    if (ctx_) {
        redisFree(ctx_);
        ctx_ = nullptr;
    }
    if (proc_) {
        proc_->stop(SIGTERM, std::chrono::seconds(5));
        proc_.reset();
    }
    unlink(unix_path_.c_str());
}

redisContext *RedisServer::conn() {
    if (ctx_ && ctx_->err) {
        redisFree(ctx_);
        ctx_ = nullptr;
    }
    if (!ctx_) {
        ctx_ = redisConnectUnix(unix_path_.c_str());
        if (!ctx_ || ctx_->err) {
            std::string e = ctx_ ? ctx_->errstr : "alloc";
            if (ctx_) redisFree(ctx_);
            ctx_ = nullptr;
            throw std::runtime_error("cannot connect to test redis: " + e);
        }
    }
    return ctx_;
}

Reply RedisServer::command(const std::vector<std::string> &args) { return run_argv(conn(), args); }

std::optional<std::string> RedisServer::get(const std::string &key) {
    Reply r = command({"GET", key});
    if (r.type != REDIS_REPLY_STRING) return std::nullopt;
    return r.str;
}

void RedisServer::set(const std::string &key, const std::string &value) { command({"SET", key, value}); }

RedisPair::RedisPair(const std::string &b, int p, const std::string &bind, const std::vector<std::string> &wrap)
    : base(b), port(p), state(b + "_state", p, bind, wrap), conf(b + "_conf", p > 0 ? p + 1 : 0, bind, wrap) {}

Subscriber::Subscriber(const RedisServer &server, const std::vector<std::string> &channels) {
    ctx_ = redisConnectUnix(server.unix_path().c_str());
    if (!ctx_ || ctx_->err) throw std::runtime_error("subscriber cannot connect");
    for (const auto &ch : channels) {
        bool pattern = ch.rfind("p:", 0) == 0;
        std::vector<std::string> args = {pattern ? "PSUBSCRIBE" : "SUBSCRIBE", pattern ? ch.substr(2) : ch};
        std::vector<const char *> argv = {args[0].c_str(), args[1].c_str()};
        std::vector<size_t> lens = {args[0].size(), args[1].size()};
        auto *r = static_cast<redisReply *>(redisCommandArgv(ctx_, 2, argv.data(), lens.data()));
        if (!r) throw std::runtime_error("subscribe failed");
        freeReplyObject(r);
    }
    // A short receive timeout lets the reader notice the stop flag.
    struct timeval tv = {0, 100000};
    redisSetTimeout(ctx_, tv);
    thread_ = std::thread([this] { run(); });
}

Subscriber::~Subscriber() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (ctx_) redisFree(ctx_);
}

void Subscriber::run() {
    while (!stop_) {
        void *raw = nullptr;
        if (redisGetReply(ctx_, &raw) != REDIS_OK) {
            if (ctx_->err == REDIS_ERR_IO && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                // Time-out: hiredis marks the context failed; clear it and go on reading.
                ctx_->err = 0;
                ctx_->errstr[0] = '\0';
                continue;
            }
            return;
        }
        Reply r = decode(static_cast<redisReply *>(raw));
        freeReplyObject(raw);
        if (r.type != REDIS_REPLY_ARRAY || r.elements.empty()) continue;
        Message m;
        m.at = std::chrono::steady_clock::now();
        if (r.elements[0].str == "message" && r.elements.size() == 3) {
            m.channel = r.elements[1].str;
            m.payload = r.elements[2].str;
        } else if (r.elements[0].str == "pmessage" && r.elements.size() == 4) {
            m.pattern = r.elements[1].str;
            m.channel = r.elements[2].str;
            m.payload = r.elements[3].str;
        } else {
            continue;
        }
        std::lock_guard<std::mutex> lk(mu_);
        msgs_.push_back(m);
    }
}

std::vector<Subscriber::Message> Subscriber::messages() {
    std::lock_guard<std::mutex> lk(mu_);
    return msgs_;
}

size_t Subscriber::count(const std::string &channel) {
    std::lock_guard<std::mutex> lk(mu_);
    size_t n = 0;
    for (const auto &m : msgs_)
        if (m.channel == channel) n++;
    return n;
}

bool Subscriber::wait_for(const std::string &channel, std::chrono::milliseconds timeout, std::string *payload) {
    return wait_until(
        [&] {
            std::lock_guard<std::mutex> lk(mu_);
            for (const auto &m : msgs_)
                if (m.channel == channel) {
                    if (payload) *payload = m.payload;
                    return true;
                }
            return false;
        },
        timeout);
}

namespace {

/* Undoes the quoting of MONITOR's arguments ("a\x01\"b"). */
std::vector<std::string> parse_args(const std::string &s, size_t pos) {
    std::vector<std::string> out;
    while ((pos = s.find('"', pos)) != std::string::npos) {
        std::string arg;
        for (pos++; pos < s.size() && s[pos] != '"'; pos++) {
            char c = s[pos];
            if (c != '\\' || pos + 1 >= s.size()) {
                arg += c;
                continue;
            }
            char e = s[++pos];
            switch (e) {
            case 'n': arg += '\n'; break;
            case 'r': arg += '\r'; break;
            case 't': arg += '\t'; break;
            case 'a': arg += '\a'; break;
            case 'b': arg += '\b'; break;
            case 'x':
                arg += (char)std::stoi(s.substr(pos + 1, 2), nullptr, 16);
                pos += 2;
                break;
            default: arg += e; break;
            }
        }
        out.push_back(arg);
        pos++;
    }
    return out;
}

}  // namespace

Monitor::Monitor(const RedisServer &server)
    : cli_(std::make_unique<Process>(
          std::vector<std::string>{"redis-cli", "-s", server.unix_path(), "monitor"})) {
    if (!cli_->wait_for_output("OK\n", std::chrono::seconds(5))) throw std::runtime_error("MONITOR did not start");
}

std::vector<SeenCommand> Monitor::commands() const {
    std::vector<SeenCommand> out;
    std::string text = cli_->out();
    size_t start = 0;
    for (size_t nl = text.find('\n'); nl != std::string::npos; start = nl + 1, nl = text.find('\n', start)) {
        std::string line = text.substr(start, nl - start);
        size_t open = line.find('[');
        size_t close = line.find(']');
        if (open == std::string::npos || close == std::string::npos) continue;
        std::string inside = line.substr(open + 1, close - open - 1);
        size_t sp = inside.find(' ');
        SeenCommand c;
        c.addr = sp == std::string::npos ? inside : inside.substr(sp + 1);
        c.args = parse_args(line, close);
        if (!c.args.empty()) out.push_back(c);
    }
    return out;
}

std::vector<SeenCommand> Monitor::named(const std::string &cmd) const {
    std::vector<SeenCommand> out;
    for (auto &c : commands())
        if (!c.args.empty() && strcasecmp(c.args[0].c_str(), cmd.c_str()) == 0) out.push_back(c);
    return out;
}

bool Monitor::wait_for(const std::function<bool(const std::vector<SeenCommand> &)> &pred,
                       std::chrono::milliseconds timeout) const {
    return wait_until([&] { return pred(commands()); }, timeout);
}

}  // namespace brx_test
