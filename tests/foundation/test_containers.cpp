#include <gtest/gtest.h>

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <event2/event.h>

#include <map>
#include <string>
#include <vector>

#include "common/glib-mini/glib.h"
#include "common/glib-mini/gsource.h"
#include "src/helpers.h"

namespace {

gpointer P(uintptr_t v)
{
    return reinterpret_cast<gpointer>(v);
}

uintptr_t V(gconstpointer p)
{
    return reinterpret_cast<uintptr_t>(p);
}

/* Destroy functions that count how often each pointer was freed. */
std::map<const void *, int> g_freed_keys, g_freed_values;

void count_key(gpointer p)
{
    g_freed_keys[p]++;
    free(p);
}

void count_value(gpointer p)
{
    g_freed_values[p]++;
    free(p);
}

GHashTable *string_table()
{
    g_freed_keys.clear();
    g_freed_values.clear();
    return g_hash_table_new_full(g_str_hash, str_equal, count_key, count_value);
}

void record_key(gpointer key, gpointer, gpointer user_data)
{
    static_cast<std::vector<uintptr_t> *>(user_data)->push_back(V(key));
}

std::vector<uintptr_t> foreach_keys(GHashTable *t)
{
    std::vector<uintptr_t> keys;
    g_hash_table_foreach(t, record_key, &keys);
    return keys;
}

}  // namespace

TEST(GStrHash, ValuesCountBytesAsSignedChars)
{
    struct {
        const char *s;
        guint hash;
    } cases[] = {
        {"", 0u},
        {"a", 97u},
        {"ab", 3105u},
        {"\xff", 4294967295u}, /* -1 */
        {"\x80", 4294967168u}, /* -128 */
        {"a\xff", 3006u},      /* 97 * 31 - 1 */
        {"hello", 99162322u},
        {"Hello World", 3432422020u}, /* wraps past 2^32 */
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.s);
        EXPECT_EQ(g_str_hash(c.s), c.hash);
    }
    EXPECT_EQ(g_direct_hash(P(12345)), 12345u);
}

TEST(GHashTable, GrowsAndShrinksByTheSpecifiedSteps)
{
    GHashTable *t = g_hash_table_new_full(g_direct_hash, nullptr, nullptr, nullptr);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->size, 11);
    EXPECT_EQ(t->nnodes, 0);
    EXPECT_EQ(t->ref_count, 1);

    std::map<int, int> size_after_insert;
    for (uintptr_t k = 1; k <= 111; k++) {
        g_hash_table_insert(t, P(k), P(k + 1000));
        size_after_insert[static_cast<int>(k)] = t->size;
    }
    EXPECT_EQ(size_after_insert[32], 11);
    EXPECT_EQ(size_after_insert[33], 37);
    EXPECT_EQ(size_after_insert[110], 37);
    EXPECT_EQ(size_after_insert[111], 163);
    for (uintptr_t k = 1; k <= 111; k++) ASSERT_EQ(V(g_hash_table_lookup(t, P(k))), k + 1000);

    std::map<int, int> size_after_remove;
    for (uintptr_t k = 111; k >= 1; k--) {
        ASSERT_TRUE(g_hash_table_remove(t, P(k)));
        size_after_remove[t->nnodes] = t->size;
        for (uintptr_t j = 1; j < k; j++) ASSERT_EQ(V(g_hash_table_lookup(t, P(j))), j + 1000);
    }
    EXPECT_EQ(size_after_remove[55], 163);
    EXPECT_EQ(size_after_remove[54], 73); /* 163 >= 3 * 54: smallest prime above 54 */
    EXPECT_EQ(size_after_remove[25], 73);
    EXPECT_EQ(size_after_remove[24], 37);
    EXPECT_EQ(size_after_remove[13], 37);
    EXPECT_EQ(size_after_remove[12], 19);
    EXPECT_EQ(size_after_remove[7], 19);
    EXPECT_EQ(size_after_remove[6], 11);
    EXPECT_EQ(size_after_remove[0], 11);
    g_hash_table_destroy(t);
}

TEST(GHashTable, RebuildReversesChainsAndFindFollowsTheSameOrder)
{
    /* 407, 814 and 1221 share bucket 0 both at 11 and at 37 buckets. */
    GHashTable *t = g_hash_table_new(nullptr, nullptr);
    const uintptr_t shared[] = {407, 814, 1221};
    for (uintptr_t k : shared) g_hash_table_insert(t, P(k), P(k));
    for (uintptr_t k = 1; k <= 29; k++) g_hash_table_insert(t, P(k * 37 + 1), P(k));
    ASSERT_EQ(t->nnodes, 32);
    ASSERT_EQ(t->size, 11);

    auto first_multiple = [](gpointer key, gpointer, gpointer) -> gboolean { return V(key) % 407 == 0; };
    std::vector<uintptr_t> keys = foreach_keys(t);
    EXPECT_EQ(std::vector<uintptr_t>(keys.begin(), keys.begin() + 3), std::vector<uintptr_t>({407, 814, 1221}));
    EXPECT_EQ(V(g_hash_table_find(t, first_multiple, nullptr)), 407u);

    g_hash_table_insert(t, P(2), P(2)); /* the 33rd entry */
    ASSERT_EQ(t->size, 37);
    keys = foreach_keys(t);
    EXPECT_EQ(std::vector<uintptr_t>(keys.begin(), keys.begin() + 3), std::vector<uintptr_t>({1221, 814, 407}));
    EXPECT_EQ(V(g_hash_table_find(t, first_multiple, nullptr)), 1221u);
    EXPECT_EQ(keys.size(), 33u);
    g_hash_table_destroy(t);
}

TEST(GHashTable, InsertOfAnExistingKeyKeepsTheStoredKey)
{
    GHashTable *t = string_table();
    char *key = strdup("device:1");
    char *v1 = strdup("one");
    g_hash_table_insert(t, key, v1);

    char *fresh = strdup("device:1");
    char *v2 = strdup("two");
    g_hash_table_insert(t, fresh, v2);
    EXPECT_EQ(t->nnodes, 1);
    EXPECT_EQ(g_freed_keys[fresh], 1);
    EXPECT_EQ(g_freed_values[v1], 1);
    EXPECT_EQ(g_freed_keys.count(key), 0u);
    EXPECT_EQ(t->nodes[g_str_hash("device:1") % 11]->key, key);
    EXPECT_STREQ(static_cast<char *>(g_hash_table_lookup(t, "device:1")), "two");

    /* Handing back what the table already holds must not free live data. */
    g_hash_table_insert(t, key, v2);
    char *v3 = strdup("three");
    g_hash_table_insert(t, key, v3);
    char *fresh2 = strdup("device:1");
    g_hash_table_insert(t, fresh2, v3);
    EXPECT_EQ(g_freed_keys.count(key), 0u);
    EXPECT_EQ(g_freed_values[v2], 1); /* only when v3 replaced it */
    EXPECT_EQ(g_freed_values.count(v3), 0u);
    EXPECT_EQ(g_freed_keys[fresh2], 1);
    EXPECT_STREQ(static_cast<char *>(g_hash_table_lookup(t, "device:1")), "three");
    EXPECT_EQ(t->nnodes, 1);

    g_hash_table_destroy(t);
    EXPECT_EQ(g_freed_keys[key], 1);
    EXPECT_EQ(g_freed_values[v3], 1);
}

TEST(GHashTable, RemoveDestroysTheStoredKeyAndValue)
{
    GHashTable *t = string_table();
    char *key = strdup("mac");
    char *value = strdup("00:11");
    g_hash_table_insert(t, key, value);
    EXPECT_FALSE(g_hash_table_remove(t, "other"));
    EXPECT_EQ(g_hash_table_remove(t, "mac"), TRUE); /* looked up with another pointer */
    EXPECT_EQ(g_freed_keys[key], 1);
    EXPECT_EQ(g_freed_values[value], 1);
    EXPECT_EQ(t->nnodes, 0);
    EXPECT_EQ(g_hash_table_lookup(t, "mac"), nullptr);
    EXPECT_FALSE(g_hash_table_remove(t, "mac"));
    g_hash_table_destroy(t);
}

TEST(GHashTable, NullTableAndPointerKeys)
{
    EXPECT_EQ(g_hash_table_lookup(nullptr, "a"), nullptr);
    EXPECT_EQ(g_hash_table_remove(nullptr, "a"), FALSE);
    EXPECT_EQ(g_hash_table_find(nullptr, [](gpointer, gpointer, gpointer) -> gboolean { return TRUE; }, nullptr),
              nullptr);
    g_hash_table_insert(nullptr, P(1), P(1));
    g_hash_table_destroy(nullptr);

    /* Without an equality function keys are pointers: equal text elsewhere is another key. */
    GHashTable *t = g_hash_table_new(g_str_hash, nullptr);
    char a[] = "key", b[] = "key";
    g_hash_table_insert(t, a, P(1));
    g_hash_table_insert(t, b, P(2));
    EXPECT_EQ(t->nnodes, 2);
    EXPECT_EQ(V(g_hash_table_lookup(t, a)), 1u);
    EXPECT_EQ(V(g_hash_table_lookup(t, b)), 2u);
    EXPECT_EQ(g_hash_table_find(t, nullptr, nullptr), nullptr);
    g_hash_table_destroy(t);
}

namespace {

GHashTable *g_table_under_destroy;
std::vector<std::string> g_seen_during_destroy;

/* Like the context clean-up: looks the table up while it is being emptied. */
void value_looks_up(gpointer p)
{
    const char *self = static_cast<const char *>(p); /* values equal their keys here */
    g_seen_during_destroy.push_back(std::string(self) + (g_hash_table_lookup(g_table_under_destroy, self) ? "+" : "-") +
                                    std::to_string(g_table_under_destroy->nnodes));
    /* The partner of "a" goes with it. */
    if (strcmp(self, "a") == 0) g_hash_table_remove(g_table_under_destroy, "b");
    free(p);
}

}  // namespace

TEST(GHashTable, DestroyUnlinksEachEntryBeforeItsDestroyFunctionsRun)
{
    g_freed_keys.clear();
    g_table_under_destroy = g_hash_table_new_full(g_str_hash, str_equal, count_key, value_looks_up);
    const char *names[] = {"a", "b", "c", "d"};
    std::vector<char *> keys;
    for (const char *n : names) {
        keys.push_back(strdup(n));
        g_hash_table_insert(g_table_under_destroy, keys.back(), strdup(n));
    }
    g_hash_table_destroy(g_table_under_destroy);

    /* Every entry went exactly once, none saw itself still in the table, and the i-th saw 3 - i left
       (also "b", removed from inside the destroy function of "a"). */
    for (char *k : keys) EXPECT_EQ(g_freed_keys[k], 1);
    ASSERT_EQ(g_seen_during_destroy.size(), 4u);
    for (size_t i = 0; i < g_seen_during_destroy.size(); i++)
        EXPECT_EQ(g_seen_during_destroy[i].substr(1), "-" + std::to_string(3 - i)) << g_seen_during_destroy[i];
}

TEST(GHashTable, ExtraReferenceKeepsAnEmptiedTableAlive)
{
    GHashTable *t = string_table();
    for (int i = 0; i < 40; i++) g_hash_table_insert(t, strdup(std::to_string(i).c_str()), strdup("v"));
    ASSERT_EQ(t->size, 37);
    EXPECT_EQ(g_hash_table_ref(t), t);
    g_hash_table_destroy(t);
    EXPECT_EQ(g_freed_keys.size(), 40u);
    EXPECT_EQ(g_freed_values.size(), 40u);
    EXPECT_EQ(t->ref_count, 1);
    EXPECT_EQ(t->nnodes, 0);
    EXPECT_EQ(t->size, 11);

    g_hash_table_insert(t, strdup("late"), strdup("v"));
    EXPECT_STREQ(static_cast<char *>(g_hash_table_lookup(t, "late")), "v");
    g_hash_table_unref(t); /* frees the last entry with the table */
    EXPECT_EQ(g_freed_keys.size(), 41u);
}

TEST(GSList, AppendRemoveAndFindComparePointers)
{
    char a[] = "x", b[] = "x", c[] = "y";
    GSList *list = nullptr;
    EXPECT_EQ(g_slist_length(list), 0u);
    EXPECT_EQ(g_slist_last(list), nullptr);
    list = g_slist_append(list, a);
    GSList *head = list;
    EXPECT_EQ(g_slist_append(list, b), head);
    list = g_slist_append(list, a);
    list = g_slist_append(list, c);
    EXPECT_EQ(g_slist_length(list), 4u);
    EXPECT_EQ(g_slist_last(list)->data, c);

    EXPECT_EQ(g_slist_find(list, b), list->next); /* equal text, but only b's node matches */
    char other[] = "x";
    EXPECT_EQ(g_slist_find(list, other), nullptr);
    EXPECT_EQ(g_slist_remove(list, other), list);
    EXPECT_EQ(g_slist_length(list), 4u);

    list = g_slist_remove(list, a); /* only the first of the two */
    ASSERT_EQ(g_slist_length(list), 3u);
    EXPECT_EQ(list->data, b);
    EXPECT_EQ(list->next->data, a);
    EXPECT_EQ(list->next->next->data, c);

    list = g_slist_remove(list, c);
    list = g_slist_remove(list, b);
    list = g_slist_remove(list, a);
    EXPECT_EQ(list, nullptr);

    list = g_slist_append(nullptr, a);
    list = g_slist_append(list, b);
    g_slist_free(list); /* the data stays: a and b live on the stack */
    GSList *one = g_slist_append(nullptr, c);
    g_slist_free_1(one);
}

/* Removals from the head, the middle and the tail, in a scrambled order, interleaved with appends:
 * the list must stay the reference's order, its last node right and membership exact. */
TEST(GSList, IndexedListRemovesAnyMemberAndKeepsOrderAndLast)
{
    GSList *list = nullptr;
    BrxSlistIndex index = BRX_SLIST_INDEX_INIT;
    std::vector<uintptr_t> ref;
    auto check = [&]() {
        std::vector<uintptr_t> got;
        for (GSList *l = list; l; l = l->next) got.push_back((uintptr_t)l->data);
        ASSERT_EQ(got, ref);
        ASSERT_EQ(index.last, ref.empty() ? nullptr : g_slist_last(list));
        for (uintptr_t v : ref) ASSERT_TRUE(brx_islist_has(&index, P(v)));
    };
    uintptr_t next = 1;
    for (int i = 0; i < 40; i++) {
        list = brx_islist_append(list, &index, P(next));
        ref.push_back(next++);
    }
    check();
    for (int step = 0; step < 60; step++) {
        size_t at = (size_t)(step * 7) % ref.size();
        if (step % 3 == 0) at = 0;
        if (step % 5 == 0) at = ref.size() - 1;
        uintptr_t v = ref[at];
        list = brx_islist_remove(list, &index, P(v));
        ref.erase(ref.begin() + (long)at);
        EXPECT_FALSE(brx_islist_has(&index, P(v)));
        check();
        if (step % 2 == 0) {
            list = brx_islist_append(list, &index, P(next));
            ref.push_back(next++);
            check();
        }
        if (ref.empty()) break;
    }
    EXPECT_EQ(brx_islist_remove(list, &index, P(999999)), list); /* not a member: unchanged */
    check();
    while (!ref.empty()) {
        list = brx_islist_remove(list, &index, P(ref.back()));
        ref.pop_back();
        check();
    }
    EXPECT_EQ(list, nullptr);
    EXPECT_EQ(index.last, nullptr);
    brx_islist_index_clear(&index);
    EXPECT_FALSE(brx_islist_has(&index, P(1)));
}

TEST(Memory, AllocatorWrappers)
{
    unsigned char *p = static_cast<unsigned char *>(g_malloc0(64));
    ASSERT_NE(p, nullptr);
    for (int i = 0; i < 64; i++) ASSERT_EQ(p[i], 0);
    p = static_cast<unsigned char *>(g_realloc(p, 4096));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p[63], 0);
    g_free(p);
    g_free(nullptr);
}

namespace {
void count_fire(evutil_socket_t, short, void *arg)
{
    ++*static_cast<int *>(arg);
}
}  // namespace

TEST(MainBase, OneLazyBaseWithFivePriorities)
{
    struct event_base *base = main_base_get();
    ASSERT_NE(base, nullptr);
    EXPECT_EQ(main_base_get(), base);
    EXPECT_EQ(event_base_get_npriorities(base), 5);

    /* Armed events run only when somebody dispatches it. */
    int fired = 0;
    struct event *ev = evtimer_new(base, count_fire, &fired);
    struct timeval tv = {0, 1000};
    evtimer_add(ev, &tv);
    EXPECT_EQ(fired, 0);
    event_base_dispatch(base);
    EXPECT_EQ(fired, 1);
    event_free(ev);
}
