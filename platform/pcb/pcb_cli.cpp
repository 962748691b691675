/*
 * pcb_cli: the command-line tool of the bus stand-in.
 *
 *   pcb_cli -l <object>.<parameter>?        prints the value and a newline (booleans 1/0)
 *   pcb_cli '<object>.<parameter>=<value>'  sets it
 *   pcb_cli -n <object> <type> [<name> [<value>...]]   sends a custom notification
 *
 * Exit status: 0 done, 1 not found or refused, 2 the bus cannot be reached.
 */

#include <cjson/cJSON.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "platform/pcb/pcb_bus.h"
#include "platform/pcb/standin_proto.h"

namespace {

int usage() {
    fprintf(stderr,
            "usage: pcb_cli -l <object>.<parameter>?\n"
            "       pcb_cli '<object>.<parameter>=<value>'\n"
            "       pcb_cli -n <object> <type> [<name> [<value>...]]\n");
    return 1;
}

bool split_key(const std::string &key, std::string &object, std::string &param) {
    size_t dot = key.rfind('.');
    if (dot == std::string::npos || dot == 0 || dot + 1 == key.size()) return false;
    object = key.substr(0, dot);
    param = key.substr(dot + 1);
    return true;
}

/*
 * Sends msg (taken) and waits for the reply of kind want:
 * 0 with *reply set, 1 for any other reply (reported), 2 when the bus is out of reach.
 */
int request(cJSON *msg, const char *want, cJSON **reply) {
    *reply = nullptr;
    int fd = pcb_standin::connect_unix(pcb_standin::socket_path_for(nullptr));
    if (fd < 0) {
        cJSON_Delete(msg);
        fprintf(stderr, "pcb_cli: no bus\n");
        return 2;
    }
    cJSON_AddNumberToObject(msg, "id", 1);
    bool sent = pcb_standin::send_json(fd, msg);
    cJSON_Delete(msg);
    pcb_standin::LineBuffer buf;
    std::string line;
    int r = sent ? pcb_standin::read_line(fd, buf, line, pcb_standin::kSyncTimeoutMs) : -1;
    close(fd);
    if (r != 1) {
        fprintf(stderr, "pcb_cli: no reply from the bus\n");
        return 2;
    }
    *reply = cJSON_Parse(line.c_str());
    const char *kind = cJSON_GetStringValue(cJSON_GetObjectItemCaseSensitive(*reply, "kind"));
    if (kind && strcmp(kind, want) == 0) return 0;
    const char *d = cJSON_GetStringValue(cJSON_GetObjectItemCaseSensitive(*reply, "description"));
    fprintf(stderr, "pcb_cli: %s\n", d ? d : "refused");
    cJSON_Delete(*reply);
    *reply = nullptr;
    return 1;
}

cJSON *parameter_message(cJSON *msg, const char *op, const std::string &object, const std::string &param) {
    cJSON_AddStringToObject(msg, "op", op);
    cJSON_AddStringToObject(msg, "path", object.c_str());
    cJSON_AddStringToObject(msg, "param", param.c_str());
    return msg;
}

int do_get(std::string key) {
    if (!key.empty() && key.back() == '?') key.pop_back();
    std::string object, param;
    if (!split_key(key, object, param)) return usage();
    cJSON *reply;
    int r = request(parameter_message(cJSON_CreateObject(), "get", object, param), "value", &reply);
    if (r != 0) return r;
    variant_t v;
    pcb_standin::variant_from_json(&v, reply);
    char *text = variant_char(&v);
    printf("%s\n", text ? text : "");
    free(text);
    variant_cleanup(&v);
    cJSON_Delete(reply);
    return 0;
}

int do_set(const std::string &arg) {
    size_t eq = arg.find('=');
    std::string object, param;
    if (!split_key(arg.substr(0, eq), object, param)) return usage();
    variant_t v;
    variant_initialize(&v, variant_type_unknown);
    variant_setChar(&v, arg.c_str() + eq + 1);
    cJSON *msg = pcb_standin::variant_to_json(&v);
    variant_cleanup(&v);
    cJSON *reply;
    int r = request(parameter_message(msg, "set", object, param), "done", &reply);
    cJSON_Delete(reply);
    return r;
}

int do_notify(int argc, char **argv) {
    if (argc < 2) return usage();
    char *end;
    long type = strtol(argv[1], &end, 10);
    if (*end || type < 0) return usage();
    cJSON *msg = cJSON_CreateObject();
    cJSON_AddStringToObject(msg, "op", "notify");
    cJSON_AddStringToObject(msg, "path", argv[0]);
    cJSON_AddNumberToObject(msg, "ntype", (double)type);
    if (argc > 2) cJSON_AddStringToObject(msg, "name", argv[2]);
    cJSON *values = cJSON_AddArrayToObject(msg, "values");
    for (int i = 3; i < argc; i++) cJSON_AddItemToArray(values, cJSON_CreateString(argv[i]));
    cJSON *reply;
    int r = request(msg, "done", &reply);
    cJSON_Delete(reply);
    return r;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc == 3 && strcmp(argv[1], "-l") == 0) return do_get(argv[2]);
    if (argc >= 4 && strcmp(argv[1], "-n") == 0) return do_notify(argc - 2, argv + 2);
    if (argc == 2 && argv[1][0] != '-') {
        std::string arg = argv[1];
        if (arg.find('=') != std::string::npos) return do_set(arg);
        return do_get(arg);
    }
    return usage();
}
