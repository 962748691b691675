#include "common/glib-mini/glib.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "common/logger/logger.h"

#define LOG_CATEGORY "glib"

#define HASH_TABLE_MIN_SIZE 11
#define HASH_TABLE_MAX_SIZE 13845163

static const guint g_primes[] = {
    11,     19,     37,     73,     109,    163,     251,     367,     557,     823,     1237,    1861,
    2777,   4177,   6247,   9371,   14057,  21089,   31627,   47431,   71143,   106721,  160073,  240101,
    360163, 540217, 810343, 1215497, 1823231, 2734867, 4102283, 6153409, 9230113, 13845163,
};

/* Out-of-memory hook of the allocator: deliberately does nothing, the caller gets NULL. */
static void gameOver(void) {}

gpointer g_malloc(gsize n)
{
    gpointer p = malloc(n);
    if (!p) gameOver();
    return p;
}

gpointer g_malloc0(gsize n)
{
    gpointer p = g_malloc(n);
    if (p) memset(p, 0, n);
    return p;
}

gpointer g_realloc(gpointer mem, gsize n)
{
    gpointer p = realloc(mem, n);
    if (!p) gameOver();
    return p;
}

void g_free(gpointer mem)
{
    free(mem);
}

/* ---- GSList ---- */

static GSList *slist_node(gpointer data)
{
    GSList *node = (GSList *)g_malloc(sizeof(GSList));
    if (!node) BRX_OOM_EXIT("GSList node");
    node->data = data;
    node->next = NULL;
    return node;
}

GSList *g_slist_last(GSList *list)
{
    if (list) {
        while (list->next) list = list->next;
    }
    return list;
}

GSList *g_slist_append(GSList *list, gpointer data)
{
    GSList *node = slist_node(data);
    if (!list) return node;
    g_slist_last(list)->next = node;
    return list;
}

GSList *g_slist_remove(GSList *list, gconstpointer data)
{
    GSList **link = &list;
    while (*link) {
        GSList *node = *link;
        if (node->data == data) {
            *link = node->next;
            g_slist_free_1(node);
            break;
        }
        link = &node->next;
    }
    return list;
}

GSList *brx_slist_append(GSList *list, GSList **last, gpointer data)
{
    GSList *node = slist_node(data);
    if (!list) {
        *last = node;
        return node;
    }
    (*last)->next = node;
    *last = node;
    return list;
}

GSList *brx_slist_remove(GSList *list, GSList **last, gconstpointer data)
{
    GSList *prev = NULL;
    for (GSList *node = list; node; prev = node, node = node->next) {
        if (node->data != data) continue;
        if (prev)
            prev->next = node->next;
        else
            list = node->next;
        if (*last == node) *last = prev;
        g_slist_free_1(node);
        break;
    }
    return list;
}

GSList *brx_islist_append(GSList *list, BrxSlistIndex *index, gpointer data)
{
    if (!index->before) {
        index->before = g_hash_table_new(g_direct_hash, NULL);
        if (!index->before) BRX_OOM_EXIT("list index");
    }
    GSList *before = index->last;
    list = brx_slist_append(list, &index->last, data);
    g_hash_table_insert(index->before, data, before ? before : list);
    return list;
}

GSList *brx_islist_remove(GSList *list, BrxSlistIndex *index, gconstpointer data)
{
    GSList *before = (GSList *)g_hash_table_lookup(index->before, data);
    if (!before || !list) return list;
    GSList *node;
    if (list->data == data) {
        node = list;
        before = NULL;
        list = node->next;
        if (list) g_hash_table_insert(index->before, list->data, list);
    } else {
        node = before->next;
        before->next = node->next;
        if (node->next) g_hash_table_insert(index->before, node->next->data, before);
    }
    if (index->last == node) index->last = before;
    g_hash_table_remove(index->before, data);
    g_slist_free_1(node);
    return list;
}

gboolean brx_islist_has(const BrxSlistIndex *index, gconstpointer data)
{
    return g_hash_table_lookup(index->before, data) != NULL;
}

void brx_islist_index_clear(BrxSlistIndex *index)
{
    if (index->before) g_hash_table_destroy(index->before);
    index->before = NULL;
    index->last = NULL;
}

GSList *g_slist_find(GSList *list, gconstpointer data)
{
    while (list && list->data != data) list = list->next;
    return list;
}

guint g_slist_length(GSList *list)
{
    guint n = 0;
    for (; list; list = list->next) n++;
    return n;
}

void g_slist_free(GSList *list)
{
    while (list) {
        GSList *next = list->next;
        g_slist_free_1(list);
        list = next;
    }
}

void g_slist_free_1(GSList *node)
{
    g_free(node);
}

/* ---- GHashTable ---- */

guint g_str_hash(gconstpointer key)
{
    const signed char *p = (const signed char *)key;
    /* Bytes count as signed chars: 0xFF adds -1. Unsigned arithmetic wraps the same everywhere. */
    uint32_t h = (uint32_t)(int32_t)*p;
    if (*p) {
        for (p++; *p; p++) h = h * 31u + (uint32_t)(int32_t)*p;
    }
    return h;
}

guint g_direct_hash(gconstpointer key)
{
    return (guint)(uintptr_t)key;
}

static guint bucket_of(const GHashTable *table, gconstpointer key)
{
    return table->hash_func(key) % (guint)table->size;
}

static gboolean keys_equal(const GHashTable *table, gconstpointer stored, gconstpointer key)
{
    return table->key_equal_func ? table->key_equal_func(stored, key) : stored == key;
}

/* The link that points at the node of key, or at the NULL that ends its chain. */
static GHashNode **lookup_link(GHashTable *table, gconstpointer key)
{
    GHashNode **link = &table->nodes[bucket_of(table, key)];
    while (*link && !keys_equal(table, (*link)->key, key)) link = &(*link)->next;
    return link;
}

static guint spaced_primes_closest(guint num)
{
    for (size_t i = 0; i < sizeof(g_primes) / sizeof(g_primes[0]); i++) {
        if (g_primes[i] > num) return g_primes[i];
    }
    return g_primes[sizeof(g_primes) / sizeof(g_primes[0]) - 1];
}

static void hash_table_resize(GHashTable *table)
{
    guint new_size = spaced_primes_closest((guint)table->nnodes);
    if (new_size < HASH_TABLE_MIN_SIZE) new_size = HASH_TABLE_MIN_SIZE;
    if (new_size > HASH_TABLE_MAX_SIZE) new_size = HASH_TABLE_MAX_SIZE;

    GHashNode **new_nodes = (GHashNode **)g_malloc0(new_size * sizeof(GHashNode *));
    if (!new_nodes) return; /* the table keeps working with its old buckets */

    for (gint i = 0; i < table->size; i++) {
        GHashNode *node = table->nodes[i];
        while (node) {
            GHashNode *next = node->next;
            guint b = table->hash_func(node->key) % new_size;
            node->next = new_nodes[b];
            new_nodes[b] = node;
            node = next;
        }
    }
    g_free(table->nodes);
    table->nodes = new_nodes;
    table->size = (gint)new_size;
}

static void maybe_resize(GHashTable *table)
{
    if ((table->size >= 3 * table->nnodes && table->size > HASH_TABLE_MIN_SIZE) ||
        (3 * table->size <= table->nnodes && table->size < HASH_TABLE_MAX_SIZE))
        hash_table_resize(table);
}

GHashTable *g_hash_table_new(GHashFunc hash_func, GEqualFunc key_equal_func)
{
    return g_hash_table_new_full(hash_func, key_equal_func, NULL, NULL);
}

GHashTable *g_hash_table_new_full(GHashFunc hash_func, GEqualFunc key_equal_func, GDestroyNotify key_destroy_func,
                                  GDestroyNotify value_destroy_func)
{
    GHashTable *table = (GHashTable *)g_malloc(sizeof(GHashTable));
    if (!table) return NULL;
    table->nodes = (GHashNode **)g_malloc0(HASH_TABLE_MIN_SIZE * sizeof(GHashNode *));
    if (!table->nodes) {
        g_free(table);
        return NULL;
    }
    table->size = HASH_TABLE_MIN_SIZE;
    table->nnodes = 0;
    table->hash_func = hash_func ? hash_func : g_direct_hash;
    table->key_equal_func = key_equal_func;
    table->ref_count = 1;
    table->key_destroy_func = key_destroy_func;
    table->value_destroy_func = value_destroy_func;
    return table;
}

void g_hash_table_insert(GHashTable *table, gpointer key, gpointer value)
{
    if (!table || table->ref_count == 0) return;

    GHashNode **link = lookup_link(table, key);
    GHashNode *node = *link;
    if (node) {
        /* The entry keeps its key. Destroy only what the table no longer references: the caller may
           hand back the stored key or value itself. */
        gpointer old_value = node->value;
        node->value = value;
        if (key != node->key && table->key_destroy_func) table->key_destroy_func(key);
        if (old_value != value && table->value_destroy_func) table->value_destroy_func(old_value);
        return;
    }

    node = (GHashNode *)g_malloc(sizeof(GHashNode));
    if (!node) BRX_OOM_EXIT("GHashNode");
    node->key = key;
    node->value = value;
    node->next = NULL;
    *link = node;
    table->nnodes++;
    maybe_resize(table);
}

gpointer g_hash_table_lookup(GHashTable *table, gconstpointer key)
{
    if (!table) return NULL;
    GHashNode *node = *lookup_link(table, key);
    return node ? node->value : NULL;
}

/* Destroy functions run after the node has left the table, which is then consistent for them. */
static void destroy_unlinked(GHashTable *table, GHashNode *node)
{
    if (table->key_destroy_func) table->key_destroy_func(node->key);
    if (table->value_destroy_func) table->value_destroy_func(node->value);
    g_free(node);
}

gboolean g_hash_table_remove(GHashTable *table, gconstpointer key)
{
    if (!table) return FALSE;
    GHashNode **link = lookup_link(table, key);
    GHashNode *node = *link;
    if (!node) return FALSE;
    *link = node->next;
    table->nnodes--;
    destroy_unlinked(table, node);
    maybe_resize(table);
    return TRUE;
}

void g_hash_table_foreach(GHashTable *table, GHFunc func, gpointer user_data)
{
    if (!table || !func) return;
    for (gint i = 0; i < table->size; i++) {
        for (GHashNode *node = table->nodes[i]; node; node = node->next) func(node->key, node->value, user_data);
    }
}

gpointer g_hash_table_find(GHashTable *table, GHRFunc predicate, gpointer user_data)
{
    if (!table || !predicate) return NULL;
    for (gint i = 0; i < table->size; i++) {
        for (GHashNode *node = table->nodes[i]; node; node = node->next) {
            if (predicate(node->key, node->value, user_data)) return node->value;
        }
    }
    return NULL;
}

/*
 * Empties the table bucket by bucket. A destroy function may look the table up or even remove
 * entries (which can rebuild the bucket array), so every step starts again from the table's
 * current fields.
 */
static void remove_all(GHashTable *table)
{
    while (table->nnodes > 0) {
        for (gint i = 0; i < table->size; i++) {
            GHashNode *node;
            while ((node = table->nodes[i]) != NULL) {
                table->nodes[i] = node->next;
                table->nnodes--;
                destroy_unlinked(table, node);
                if (i >= table->size) break;
            }
        }
    }
}

void g_hash_table_destroy(GHashTable *table)
{
    if (!table || table->ref_count == 0) return;
    remove_all(table);
    if (table->size != HASH_TABLE_MIN_SIZE) {
        GHashNode **nodes = (GHashNode **)g_malloc0(HASH_TABLE_MIN_SIZE * sizeof(GHashNode *));
        if (nodes) {
            g_free(table->nodes);
            table->nodes = nodes;
            table->size = HASH_TABLE_MIN_SIZE;
        }
    }
    g_hash_table_unref(table);
}

GHashTable *g_hash_table_ref(GHashTable *table)
{
    if (table) table->ref_count++;
    return table;
}

void g_hash_table_unref(GHashTable *table)
{
    if (!table || table->ref_count == 0) return;
    if (--table->ref_count > 0) return;
    remove_all(table);
    g_free(table->nodes);
    g_free(table);
}
