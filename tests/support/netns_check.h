#ifndef BRX_TESTS_SUPPORT_NETNS_CHECK_H
#define BRX_TESTS_SUPPORT_NETNS_CHECK_H

#include <net/if.h>
#include <string.h>

namespace brx_test {

/* A network namespace made for a test has nothing but loopback when it starts; the machine's own has its real interfaces. */
inline bool only_loopback() {
    struct if_nameindex *ifs = if_nameindex();
    if (!ifs) return false;
    bool other = false;
    for (struct if_nameindex *i = ifs; i->if_index != 0; i++)
        if (strcmp(i->if_name, "lo") != 0) other = true;
    if_freenameindex(ifs);
    return !other;
}

}  // namespace brx_test

#endif
