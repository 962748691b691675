#include "tests/upgrade/firmware_tools.h"

#include <cjson/cJSON.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

namespace brx_test {

namespace {

struct KeyPair {
    TempDir dir;
    std::string key = dir.file("fw_key.pem");
    std::string pub = dir.file("fw_pub.pem");
    KeyPair() {
        ProcResult r = run_process({"openssl", "genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-256",
                                    "-out", key});
        if (r.status != 0) ADD_FAILURE() << "openssl genpkey: " << r.err;
        r = run_process({"openssl", "pkey", "-in", key, "-pubout", "-out", pub});
        if (r.status != 0) ADD_FAILURE() << "openssl pkey: " << r.err;
    }
};

const KeyPair &keys() {
    static KeyPair k;
    return k;
}

void link_standin(const std::string &script, const std::string &to) {
    if (symlink(source_path("tests/upgrade/" + script).c_str(), to.c_str()) != 0)
        ADD_FAILURE() << "cannot link " << to;
}

}  // namespace

FirmwareTools::FirmwareTools() {
    add_command("fw_upgrade");
    add_command("fw_prepare");
    link_standin("verify.sh", verify_cmd());
}

std::string FirmwareTools::add_command(const std::string &name) const {
    link_standin("standin.sh", path(name));
    return path(name);
}

const std::string &FirmwareTools::pubkey() const { return keys().pub; }

std::vector<std::string> FirmwareTools::calls() const {
    return file_exists(path("commands.log")) ? lines_of(read_file(path("commands.log"))) : std::vector<std::string>();
}

std::vector<std::string> FirmwareTools::calls_of(const std::string &name) const {
    std::vector<std::string> out;
    for (const auto &l : calls())
        if (l.rfind(name + " ", 0) == 0 || l == name) out.push_back(l);
    return out;
}

std::string sign(const std::string &data) {
    TempDir d;
    write_file(d.file("image"), data);
    ProcResult r = run_process({"openssl", "dgst", "-sha256", "-sign", keys().key, "-out", d.file("sig"), d.file("image")});
    if (r.status != 0) ADD_FAILURE() << "openssl dgst -sign: " << r.err;
    r = run_process({"base64", "-w0", d.file("sig")});
    return r.out;
}

std::string md5_hex(const std::string &data) {
    TempDir d;
    write_file(d.file("image"), data);
    ProcResult r = run_process({"md5sum", d.file("image")});
    return r.out.substr(0, 32);
}

std::string offer_json(const std::string &kind_class, const std::string &domain, const std::string &vendor,
                       const std::string &model, const std::string &version, const std::string &url,
                       const std::string &signature, const std::string &md5) {
    cJSON *o = cJSON_CreateObject();
    cJSON_AddStringToObject(o, "class", kind_class.c_str());
    cJSON_AddStringToObject(o, "vendor", vendor.c_str());
    cJSON_AddStringToObject(o, "model", model.c_str());
    cJSON_AddStringToObject(o, "domain", domain.c_str());
    cJSON_AddStringToObject(o, "version", version.c_str());
    cJSON_AddStringToObject(o, "url", url.c_str());
    cJSON_AddStringToObject(o, "signature", signature.c_str());
    cJSON_AddStringToObject(o, "md5", md5.c_str());
    char *text = cJSON_PrintUnformatted(o);
    std::string out = text;
    free(text);
    cJSON_Delete(o);
    return out;
}

std::vector<std::string> created_images(const std::string &log) {
    std::vector<std::string> out;
    const std::string marker = "Temporary file ";
    for (const auto &l : lines_of(log)) {
        size_t at = l.find(marker);
        if (at == std::string::npos) continue;
        size_t start = at + marker.size();
        size_t end = l.find(" created", start);
        if (end != std::string::npos) out.push_back(l.substr(start, end - start));
    }
    return out;
}

}  // namespace brx_test
