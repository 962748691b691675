#ifndef BRX_COMMON_GLIB_MINI_GLIB_H
#define BRX_COMMON_GLIB_MINI_GLIB_H

/*
 * Small containers and allocation wrappers under GLib's names: the singly linked list GSList,
 * the chained hash table GHashTable and g_malloc & co. Our own code; no locks inside.
 */

#include <stddef.h>

#include "common/glib-mini/base64.h"

typedef char gboolean;
#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

typedef char gchar;
typedef unsigned char guchar;
typedef int gint;
typedef unsigned int guint;
typedef size_t gsize;
typedef void *gpointer;
typedef const void *gconstpointer;

typedef guint (*GHashFunc)(gconstpointer key);
typedef gboolean (*GEqualFunc)(gconstpointer a, gconstpointer b);
typedef void (*GDestroyNotify)(gpointer data);
typedef void (*GHFunc)(gpointer key, gpointer value, gpointer user_data);
typedef gboolean (*GHRFunc)(gpointer key, gpointer value, gpointer user_data);

/* Memory: NULL when the allocation fails; the process goes on. */
gpointer g_malloc(gsize n);
gpointer g_malloc0(gsize n);
gpointer g_realloc(gpointer mem, gsize n);
void g_free(gpointer mem);

/* Singly linked list; a list is its first node, NULL is the empty list. */
typedef struct _GSList GSList;
struct _GSList {
    gpointer data;
    GSList *next;
};

GSList *g_slist_append(GSList *list, gpointer data);
GSList *g_slist_remove(GSList *list, gconstpointer data); /* first node holding this pointer */
GSList *g_slist_find(GSList *list, gconstpointer data);
guint g_slist_length(GSList *list);
GSList *g_slist_last(GSList *list);
void g_slist_free(GSList *list); /* the nodes only, never the data */
void g_slist_free_1(GSList *node);

/*
 * Beyond GLib: a list that keeps its last node beside it (*last; NULL for the empty list) appends
 * without walking. Removing through brx_slist_remove keeps *last right.
 */
GSList *brx_slist_append(GSList *list, GSList **last, gpointer data);
GSList *brx_slist_remove(GSList *list, GSList **last, gconstpointer data);

struct _GHashTable;
/*
 * Beyond GLib: a list of distinct pointers that also keeps, per element, the node before its own (the
 * first element maps to its own node), so that a member is found and removed without walking. Every
 * change of such a list goes through these calls; BRX_SLIST_INDEX_INIT is the empty index.
 */
typedef struct BrxSlistIndex {
    GSList *last;
    struct _GHashTable *before;
} BrxSlistIndex;
#define BRX_SLIST_INDEX_INIT {NULL, NULL}
GSList *brx_islist_append(GSList *list, BrxSlistIndex *index, gpointer data);
/* Removes data's node; the list unchanged when data is not in it. */
GSList *brx_islist_remove(GSList *list, BrxSlistIndex *index, gconstpointer data);
gboolean brx_islist_has(const BrxSlistIndex *index, gconstpointer data);
/* Forgets the index (not the list's nodes). */
void brx_islist_index_clear(BrxSlistIndex *index);

/* Chained hash table. */
typedef struct _GHashNode GHashNode;
struct _GHashNode {
    gpointer key;
    gpointer value;
    GHashNode *next;
};

typedef struct _GHashTable GHashTable;
struct _GHashTable {
    gint size;   /* buckets */
    gint nnodes; /* entries */
    GHashNode **nodes;
    GHashFunc hash_func;
    GEqualFunc key_equal_func;
    gint ref_count;
    GDestroyNotify key_destroy_func;
    GDestroyNotify value_destroy_func;
};

/* NULL hash_func: g_direct_hash; NULL key_equal_func: keys compared as pointers. */
GHashTable *g_hash_table_new(GHashFunc hash_func, GEqualFunc key_equal_func);
GHashTable *g_hash_table_new_full(GHashFunc hash_func, GEqualFunc key_equal_func, GDestroyNotify key_destroy_func,
                                  GDestroyNotify value_destroy_func);
void g_hash_table_insert(GHashTable *table, gpointer key, gpointer value);
gpointer g_hash_table_lookup(GHashTable *table, gconstpointer key);
gboolean g_hash_table_remove(GHashTable *table, gconstpointer key);
/* func must neither insert nor remove entries. */
void g_hash_table_foreach(GHashTable *table, GHFunc func, gpointer user_data);
gpointer g_hash_table_find(GHashTable *table, GHRFunc predicate, gpointer user_data);
void g_hash_table_destroy(GHashTable *table);
GHashTable *g_hash_table_ref(GHashTable *table);
void g_hash_table_unref(GHashTable *table);

guint g_str_hash(gconstpointer key);
guint g_direct_hash(gconstpointer key);

#endif
