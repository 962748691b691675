// The reply parser of the HTTP client: one table of replies, each fed whole, byte by byte and in
// random splits, must give the same outcome.
#include <event2/buffer.h>
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <utility>
#include <vector>

#include "src/http_reply.h"

namespace {

struct Outcome {
    bool done = false;
    bool error = false;
    int code = 0;
    std::string body;
    int chunks = 0;  // DATA events that completed a chunk
    std::vector<std::pair<std::string, std::string>> headers;
    bool operator==(const Outcome &o) const {
        return done == o.done && error == o.error && code == o.code && body == o.body && chunks == o.chunks &&
               headers == o.headers;
    }
};

std::ostream &operator<<(std::ostream &os, const Outcome &o) {
    os << (o.done ? "done" : o.error ? "error" : "incomplete") << " code " << o.code << " body '" << o.body << "' chunks "
       << o.chunks << " headers";
    for (const auto &h : o.headers) os << " [" << h.first << ": " << h.second << "]";
    return os;
}

/* Feeds input in the given pieces, then ends the stream when eof is set. */
Outcome parse(const std::string &input, const std::vector<size_t> &pieces, bool eof) {
    http_reply_t r;
    EXPECT_EQ(http_reply_init(&r), 0);
    struct evbuffer *in = evbuffer_new();
    Outcome o;
    auto take = [&](http_reply_event_t ev) {
        if (ev == HTTP_REPLY_DATA) {
            size_t n = evbuffer_get_length(r.body);
            std::string part(n, '\0');
            evbuffer_remove(r.body, &part[0], n);
            o.body += part;
            if (r.chunked && r.chunk_done) o.chunks++;
        }
        if (ev == HTTP_REPLY_DONE) o.done = true;
        if (ev == HTTP_REPLY_ERROR) o.error = true;
    };
    size_t pos = 0;
    for (size_t n : pieces) {
        if (o.done || o.error) break;
        evbuffer_add(in, input.data() + pos, n);
        pos += n;
        for (;;) {
            http_reply_event_t ev = http_reply_step(&r, in);
            take(ev);
            if (ev == HTTP_REPLY_MORE || ev == HTTP_REPLY_DONE || ev == HTTP_REPLY_ERROR) break;
        }
    }
    if (eof && !o.done && !o.error) take(http_reply_eof(&r));
    if (o.error) {
        // Whatever came before the error is not looked at.
        o.body.clear();
        o.chunks = 0;
    }
    if (o.done) {
        o.code = r.code;
        for (struct evkeyval *h = r.headers.tqh_first; h; h = h->next.tqe_next) o.headers.emplace_back(h->key, h->value);
    }
    http_reply_clear(&r);
    evbuffer_free(in);
    return o;
}

struct ReplyCase {
    const char *name;
    std::string input;
    bool eof;          // the stream ends after the input
    bool ok;
    int code;
    std::string body;
    int chunks;
    std::vector<std::pair<std::string, std::string>> headers;  // checked when ok
};

void PrintTo(const ReplyCase &c, std::ostream *os) { *os << c.name; }

Outcome expected(const ReplyCase &c) {
    Outcome o;
    o.done = c.ok;
    o.error = !c.ok;
    if (c.ok) {
        o.code = c.code;
        o.body = c.body;
        o.chunks = c.chunks;
        o.headers = c.headers;
    }
    return o;
}

class ReplyParser : public ::testing::TestWithParam<ReplyCase> {};

TEST_P(ReplyParser, WholeByteByByteAndRandomSplitsAgree) {
    const ReplyCase &c = GetParam();
    const Outcome want = expected(c);
    EXPECT_EQ(parse(c.input, {c.input.size()}, c.eof), want) << "whole";
    EXPECT_EQ(parse(c.input, std::vector<size_t>(c.input.size(), 1), c.eof), want) << "byte by byte";
    for (unsigned seed = 1; seed <= 8; seed++) {
        std::mt19937 gen(seed);
        std::vector<size_t> pieces;
        for (size_t left = c.input.size(); left > 0;) {
            size_t n = std::min(left, (size_t)std::uniform_int_distribution<>(1, 17)(gen));
            pieces.push_back(n);
            left -= n;
        }
        EXPECT_EQ(parse(c.input, pieces, c.eof), want) << "seed " << seed;
    }
}

const std::string kBigValue(70000, 'v');

std::string many_headers(size_t n) {
    std::string s;
    for (size_t i = 0; i < n; i++) s += "X-H" + std::to_string(i) + ": " + std::string(100, 'h') + "\r\n";
    return s;
}

std::string interim_replies(size_t n) {
    std::string s;
    for (size_t i = 0; i < n; i++) s += "HTTP/1.1 100 Continue\r\n\r\n";
    return s;
}

using H = std::vector<std::pair<std::string, std::string>>;

H many_headers_list(size_t n) {
    H h;
    for (size_t i = 0; i < n; i++) h.emplace_back("X-H" + std::to_string(i), std::string(100, 'h'));
    h.emplace_back("Content-Length", "1");
    return h;
}

INSTANTIATE_TEST_SUITE_P(
    Table, ReplyParser,
    ::testing::Values(
        ReplyCase{"content_length", "HTTP/1.1 200 OK\r\nContent-Length: 5\r\nX-A: 1\r\n\r\nhello", false, true, 200,
                  "hello", 0, H{{"Content-Length", "5"}, {"X-A", "1"}}},
        ReplyCase{"bytes_after_the_body_ignored", "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nhiEXTRA", false, true,
                  200, "hi", 0, H{{"Content-Length", "2"}}},
        ReplyCase{"bare_lf_lines", "HTTP/1.0 201 Created\nContent-Length: 2\n\nhi", false, true, 201, "hi", 0,
                  H{{"Content-Length", "2"}}},
        ReplyCase{"no_reason_no_body", "HTTP/1.1 204\r\n\r\n", false, true, 204, "", 0, H{}},
        ReplyCase{"zero_length", "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n", false, true, 200, "", 0,
                  H{{"Content-Length", "0"}}},
        ReplyCase{"no_body_for_204", "HTTP/1.1 204 No Content\r\nContent-Length: 5\r\n\r\n", false, true, 204, "", 0,
                  H{{"Content-Length", "5"}}},
        ReplyCase{"no_body_for_304", "HTTP/1.1 304 Not Modified\r\nTransfer-Encoding: chunked\r\n\r\n", false, true,
                  304, "", 0, H{{"Transfer-Encoding", "chunked"}}},
        ReplyCase{"interim_replies_skipped",
                  "HTTP/1.1 100 Continue\r\nX-Early: 1\r\n\r\nHTTP/1.1 102 Processing\r\n\r\n"
                  "HTTP/1.1 200 OK\r\nContent-Length: 1\r\n\r\nx",
                  false, true, 200, "x", 0, H{{"Content-Length", "1"}}},
        ReplyCase{"chunked_extensions_trailers",
                  "HTTP/1.1 200 OK\r\nTransfer-Encoding: Chunked\r\n\r\n3;name=\"v\"\r\nabc\r\n2 \r\nde\r\n"
                  "A\r\n0123456789\r\n0\r\nX-Trailer: t\r\n\r\n",
                  false, true, 200, "abcde0123456789", 3, H{{"Transfer-Encoding", "Chunked"}, {"X-Trailer", "t"}}},
        ReplyCase{"chunked_wins_over_length",
                  "HTTP/1.1 200 OK\r\nContent-Length: 100\r\nTransfer-Encoding: chunked\r\n\r\n1\r\nz\r\n0\r\n\r\n", false,
                  true, 200, "z", 1, H{{"Content-Length", "100"}, {"Transfer-Encoding", "chunked"}}},
        ReplyCase{"close_delimited", "HTTP/1.1 200 OK\r\nX: y\r\n\r\nuntil the end", true, true, 200, "until the end",
                  0, H{{"X", "y"}}},
        ReplyCase{"other_coding_reads_to_the_end",
                  "HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip\r\nContent-Length: 2\r\n\r\nabcdef", true, true, 200,
                  "abcdef", 0, H{{"Transfer-Encoding", "gzip"}, {"Content-Length", "2"}}},
        ReplyCase{"repeated_and_folded_headers",
                  "HTTP/1.1 200 OK\r\nSet-Cookie: a=1\r\nSet-Cookie: b=2\r\nX-Long: one\r\n \t two  \r\nX-Empty:\r\n"
                  "Content-Length: 0\r\n\r\n",
                  false, true, 200, "",
                  0, H{{"Set-Cookie", "a=1"}, {"Set-Cookie", "b=2"}, {"X-Long", "one two"}, {"X-Empty", ""},
                       {"Content-Length", "0"}}},
        ReplyCase{"equal_lengths_twice", "HTTP/1.1 200 OK\r\nContent-Length: 2\r\ncontent-length: 2\r\n\r\nok", false,
                  true, 200, "ok", 0, H{{"Content-Length", "2"}, {"content-length", "2"}}},
        ReplyCase{"header_block_just_fits",
                  "HTTP/1.1 200 OK\r\n" + many_headers(400) + "Content-Length: 1\r\n\r\nx", false, true, 200, "x", 0,
                  many_headers_list(400)},
        // Everything below is the "no usable reply" path.
        ReplyCase{"no_reply_at_all", "", true, false, 0, "", 0, {}},
        ReplyCase{"status_code_too_long", "HTTP/1.1 2000 OK\r\n\r\n", false, false, 0, "", 0, {}},
        ReplyCase{"status_code_too_short", "HTTP/1.1 20 OK\r\n\r\n", false, false, 0, "", 0, {}},
        ReplyCase{"status_without_blank", "HTTP/1.1 200OK\r\n\r\n", false, false, 0, "", 0, {}},
        ReplyCase{"status_leading_zero", "HTTP/1.1 099 Odd\r\n\r\n", false, false, 0, "", 0, {}},
        ReplyCase{"not_http", "ICY 200 OK\r\n\r\n", false, false, 0, "", 0, {}},
        ReplyCase{"garbage", "\x16\x03\x01\x02\xff\x01\r\n", false, false, 0, "", 0, {}},
        ReplyCase{"cut_after_status", "HTTP/1.1 200 OK\r\n", true, false, 0, "", 0, {}},
        ReplyCase{"cut_after_interim", "HTTP/1.1 100 Continue\r\n\r\n", true, false, 0, "", 0, {}},
        ReplyCase{"header_without_colon", "HTTP/1.1 200 OK\r\nNoColon\r\n\r\n", false, false, 0, "", 0, {}},
        ReplyCase{"header_name_with_blank", "HTTP/1.1 200 OK\r\nContent-Length : 1\r\n\r\nx", false, false, 0, "",
                  0, {}},
        ReplyCase{"empty_header_name", "HTTP/1.1 200 OK\r\n: x\r\n\r\n", false, false, 0, "", 0, {}},
        ReplyCase{"continuation_first", "HTTP/1.1 200 OK\r\n folded\r\n\r\n", false, false, 0, "", 0, {}},
        ReplyCase{"nul_in_header", std::string("HTTP/1.1 200 OK\r\nX: a\0b\r\n\r\n", 26), false, false, 0, "", 0, {}},
        ReplyCase{"length_not_a_number", "HTTP/1.1 200 OK\r\nContent-Length: 12a\r\n\r\n", false, false, 0, "", 0,
                  {}},
        ReplyCase{"length_negative", "HTTP/1.1 200 OK\r\nContent-Length: -1\r\n\r\n", false, false, 0, "", 0, {}},
        ReplyCase{"length_with_sign", "HTTP/1.1 200 OK\r\nContent-Length: +5\r\n\r\nhello", false, false, 0, "", 0,
                  {}},
        ReplyCase{"length_overflow", "HTTP/1.1 200 OK\r\nContent-Length: 18446744073709551617\r\n\r\nx", false, false,
                  0, "", 0, {}},
        ReplyCase{"length_at_2_63", "HTTP/1.1 200 OK\r\nContent-Length: 9223372036854775808\r\n\r\nx", false, false,
                  0, "", 0, {}},
        ReplyCase{"conflicting_lengths", "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nContent-Length: 3\r\n\r\nabc", false,
                  false, 0, "", 0, {}},
        ReplyCase{"short_body", "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nabc", true, false, 0, "", 0, {}},
        ReplyCase{"chunk_size_overflow",
                  "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n10000000000000001\r\nx", false, false, 0, "", 0,
                  {}},
        ReplyCase{"chunk_size_not_hex", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nxyz\r\n", false, false,
                  0, "", 0, {}},
        ReplyCase{"chunk_size_negative", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n-1\r\n", false, false,
                  0, "", 0, {}},
        ReplyCase{"chunk_without_crlf",
                  "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabcX\r\n0\r\n\r\n", false, false, 0, "",
                  0, {}},
        ReplyCase{"chunked_cut_short", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nab", true, false, 0,
                  "", 0, {}},
        ReplyCase{"chunked_without_last_chunk", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n1\r\na\r\n",
                  true, false, 0, "", 0, {}},
        ReplyCase{"one_huge_header", "HTTP/1.1 200 OK\r\nX-Big: " + kBigValue + "\r\n\r\n", false, false, 0, "", 0,
                  {}},
        ReplyCase{"header_block_too_large", "HTTP/1.1 200 OK\r\n" + many_headers(700) + "\r\n", false, false, 0, "",
                  0, {}},
        ReplyCase{"endless_line", "HTTP/1.1 200 " + kBigValue, false, false, 0, "", 0, {}},
        ReplyCase{"huge_trailer",
                  "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n0\r\nX-T: " + kBigValue + "\r\n\r\n", false,
                  false, 0, "", 0, {}},
        ReplyCase{"huge_chunk_size_line",
                  "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n1;e=" + kBigValue + "\r\nx\r\n0\r\n\r\n", false,
                  false, 0, "", 0, {}},
        ReplyCase{"interim_replies_share_the_budget",
                  interim_replies(2700) + "HTTP/1.1 200 OK\r\nContent-Length: 1\r\n\r\nx", false, false, 0, "", 0, {}},
        // Over the body bound as soon as it is announced, before any byte of it.
        ReplyCase{"length_over_the_body_bound", "HTTP/1.1 200 OK\r\nContent-Length: 16777217\r\n\r\n", false,
                  false, 0, "", 0, {}},
        ReplyCase{"chunks_over_the_body_bound",
                  "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n1\r\nx\r\n1000000\r\n", false, false, 0, "",
                  0, {}}),
    [](const ::testing::TestParamInfo<ReplyCase> &i) { return std::string(i.param.name); });

}  // namespace
