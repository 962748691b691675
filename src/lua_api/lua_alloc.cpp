#include "src/lua_api/lua_alloc.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#include <sanitizer/lsan_interface.h>
/* The leak checker scans malloc's blocks, not our mappings: the blocks they point to stay found. */
#define ROOT(p, n) __lsan_register_root_region((p), (n))
#define POISON(p, n) ASAN_POISON_MEMORY_REGION((p), (n))
#define UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION((p), (n))
#else
#define POISON(p, n) ((void)(p), (void)(n))
#define UNPOISON(p, n) ((void)(p), (void)(n))
#define ROOT(p, n) ((void)(p), (void)(n))
#endif

namespace {

const size_t kStep = 8;
const size_t kSmallMax = 4096;                /* larger blocks go to malloc */
const size_t kClasses = kSmallMax / kStep;    /* class i holds blocks of (i + 1) * kStep bytes */
/* Chunks are 2 MiB and aligned. Past the first few they are asked to be huge pages: the states of
 * hundreds of devices spread over tens of MiB, and with small pages the misses of the address
 * translation were most of the cost of making a state. The first ones keep small pages, so that a
 * gateway with a few devices holds only the memory its states use. */
const size_t kChunk = 2 * 1024 * 1024;
const size_t kSmallPagePool = 4 * kChunk;

struct free_block {
    free_block *next;
};

struct chunk {
    chunk *next;
};

free_block *free_lists[kClasses];
chunk *chunks = nullptr;
char *bump = nullptr;      /* the unused rest of the newest chunk */
size_t bump_left = 0;
size_t pool_bytes = 0;
size_t free_bytes = 0;

bool small(size_t n) { return n > 0 && n <= kSmallMax; }
size_t class_of(size_t n) { return (n - 1) / kStep; }
size_t class_size(size_t c) { return (c + 1) * kStep; }

/* kChunk bytes aligned to kChunk, so that the kernel can back them with one huge page. */
void *map_chunk() {
    void *raw = mmap(nullptr, 2 * kChunk, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) return nullptr;
    const uintptr_t start = (uintptr_t)raw, at = (start + kChunk - 1) & ~(uintptr_t)(kChunk - 1);
    if (at > start) munmap(raw, at - start);
    munmap((void *)(at + kChunk), start + kChunk - at); /* at < start + kChunk: a tail is always left */
    void *mem = (void *)at;
    if (pool_bytes >= kSmallPagePool) madvise(mem, kChunk, MADV_HUGEPAGE); /* a hint: small pages serve too */
    return mem;
}

void *take(size_t n) {
    size_t c = class_of(n);
    free_block *b = free_lists[c];
    if (b) {
        UNPOISON(b, class_size(c));
        free_lists[c] = b->next;
        free_bytes -= class_size(c);
        return b;
    }
    size_t size = class_size(c);
    if (bump_left < size) {
        // The rest of the old chunk is too small for this class: it goes to the list that fits it.
        if (bump_left >= kStep) {
            size_t rc = class_of(bump_left - bump_left % kStep);
            auto *rest = reinterpret_cast<free_block *>(bump);
            UNPOISON(rest, class_size(rc));
            rest->next = free_lists[rc];
            free_lists[rc] = rest;
            free_bytes += class_size(rc);
            POISON(rest, class_size(rc));
        }
        void *mem = map_chunk();
        if (!mem) return nullptr;
        ROOT(mem, kChunk);
        auto *ch = static_cast<chunk *>(mem);
        ch->next = chunks;
        chunks = ch;
        pool_bytes += kChunk;
        // The chunk header keeps the blocks 8-byte aligned, as Lua's objects need.
        bump = reinterpret_cast<char *>(ch) + sizeof(chunk);
        bump_left = kChunk - sizeof(chunk);
        POISON(bump, bump_left);
    }
    void *p = bump;
    bump += size;
    bump_left -= size;
    UNPOISON(p, size);
    return p;
}

void give_back(void *p, size_t n) {
    size_t c = class_of(n);
    auto *b = static_cast<free_block *>(p);
    b->next = free_lists[c];
    free_lists[c] = b;
    free_bytes += class_size(c);
    POISON(b, class_size(c));
}

}  // namespace

namespace {

void *pool_alloc(void *ptr, size_t osize, size_t nsize) {
    if (nsize == 0) {
        if (small(osize))
            give_back(ptr, osize);
        else
            free(ptr);
        return nullptr;
    }
    if (!small(osize) && !small(nsize)) return realloc(ptr, nsize);
    if (ptr && small(osize) && small(nsize) && class_of(osize) == class_of(nsize)) return ptr;
    void *p = small(nsize) ? take(nsize) : malloc(nsize);
    if (!p) {
        // Lua counts on a block that shrinks never failing: the old one, larger, still serves.
        return nsize <= osize ? ptr : nullptr;
    }
    if (ptr) {
        memcpy(p, ptr, osize < nsize ? osize : nsize);
        if (small(osize))
            give_back(ptr, osize);
        else
            free(ptr);
    }
    return p;
}

/* Asks once for a collection at the next safe point: never here, inside the allocator. */
void arm(lua_state_mem_t *m) {
    if (m->blocked || m->armed || !m->arm) return;
    m->armed = 1;
    m->arm(m);
}

/* Refused or failed growth: the garbage of whatever failed goes at the next safe point. */
void *failed(lua_state_mem_t *m) {
    m->collect_at = 0;
    arm(m);
    return nullptr;
}

}  // namespace

void *lua_state_alloc(void *ud, void *ptr, size_t osize, size_t nsize) {
    if (!ptr) osize = 0;
    auto *m = static_cast<lua_state_mem_t *>(ud);
    if (!m) return pool_alloc(ptr, osize, nsize);
    // Growth only: Lua counts on a block that shrinks or goes never failing.
    if (nsize > osize) {
        if (m->refuse_next) {
            m->refuse_next = 0;
            return nullptr;
        }
        const size_t need = nsize - osize;
        if (m->limit && (need > m->limit || m->heap + need >= m->limit)) return failed(m);
    }
    void *p = pool_alloc(ptr, osize, nsize);
    if (!p && nsize > 0) return failed(m);
    m->heap = m->heap + nsize - osize;
    if (m->heap >= m->collect_at) arm(m);
    return p;
}

size_t lua_state_alloc_pool_bytes(void) { return pool_bytes; }
size_t lua_state_alloc_free_bytes(void) { return free_bytes + bump_left; }
