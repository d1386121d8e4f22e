// How the queue works
//
// The list is the two-ended linked queue of Michael and Scott. head points at a sentinel node whose value has
// already been taken; the items are in the nodes after it. A push links its node after the last node with a
// compare-and-swap on that node's next, then moves tail to it; a thread that finds tail lagging moves it on first.
// Because a node is linked only after a node whose next is still empty and which tail therefore points at, tail is
// always the last node or the one before it. A pop moves head one node forward with a compare-and-swap: the node it
// moves to becomes the new sentinel and holds the popped value, and the old sentinel leaves the list ("retired").
// Head never overtakes tail: a pop that would move head onto the last node while tail still points at the sentinel
// moves tail first. So every node that tail points at is still in the list.
//
// Values. The textbook pop copies the value out of head's successor *before* the head compare-and-swap, because
// after it another consumer may free that node. With reference-counted values (QString, QByteArray, QJsonObject)
// that early copy would race with a faster consumer that already popped the node and destroyed the value. Here the
// value is read only *after* a successful compare-and-swap, by the one thread that won it: a value is built by its
// producer before its node is published, and moved out and destroyed by exactly one consumer, the one that made the
// node the sentinel. Losers never look at it. The winner's hazard pointer keeps the node's memory alive meanwhile,
// even if other consumers pop past it.
//
// Reclamation: hazard pointers. Before a thread dereferences a node it read from head or tail, it publishes the
// pointer in one of its hazard slots and then checks that head (tail) still holds it; then the node cannot be
// retired yet, and no later scan will free it while the slot holds it. Retired nodes go into the retiring thread's
// list, which is scanned when it holds twice as many nodes as there are hazard slots plus a margin (about a thousand
// nodes, see "Fences" below), and again when a pop finds the queue empty. A scan frees every retired node that no slot
// holds. So retired nodes are freed while the queue lives, and their number is bounded by a constant per thread,
// however long the process runs. A protected node cannot be freed and so cannot be reused either, which rules out ABA
// on the compare-and-swaps.
//
// Records. Each thread that uses a queue owns a record with six hazard slots (two for pop, two for push, two for
// count), its retired list and the slab it carves nodes from. Records live in one grow-only list for the whole
// process and are shared by all queues: retired nodes are raw memory whose value is already gone, so any thread may
// free them. A thread claims a free record on its first call and gives it back when it ends (its retired list
// scanned and whatever is still protected kept for the next owner).
//
// Sticky hazards. A slot keeps its pointer after a call returns, and the record remembers which slot contents were
// validated. A pointer that has been protected without interruption since it was validated needs no new validation:
// no scan can have freed it meanwhile. So a lone consumer finds head already protected (it protected that node as
// "next" in its previous pop), and a producer whose own node is still the tail finds tail protected: a node is
// protected by its producer before it is linked (its slot store is sequenced before the release that links it, so
// any thread that later unlinks it and scans happens after that store and sees it). This saves a full fence per call
// in the common cases. Each thread holds at most a few nodes this way.
//
// Count. Each node carries its position, one more than its predecessor's, set before it is linked. The number of
// items is the position of the last node minus that of the sentinel, so no push or pop touches a shared counter.
//
// Slabs. Producers allocate and consumers free, so a general-purpose allocator would see every node cross threads
// and, with no frees on the producer side, serve every push from its slow path. Nodes of the common size (a
// pointer-sized value such as QString, QByteArray, QJsonObject) are instead carved in order from 64 KiB slabs that
// the producing thread owns; each node records its distance back to its slab. A slab counts its nodes down as they
// are freed (in batches, one atomic subtraction per slab per scan) and is done when the last one is gone and its
// carver has moved on. A done slab goes to a small process-wide cache (kCachedSlabs, 256 KiB) that the next slab is
// taken from, or back to the allocator when the cache is full. So a queue holds memory for the nodes it still has,
// plus one partly carved slab per thread and the cache for the whole process; everything above that goes back as soon
// as its nodes have left the queue and been scanned. A slab is reused only once every node in it has been freed,
// which a scan does only for nodes no hazard holds, so reuse is as safe as the allocator's own. AddressSanitizer is
// told (by poisoning) about every freed node.
//
// Why 64 KiB and the cache: a burst that queues hundreds of thousands of items needs that many nodes' worth of fresh
// memory, and on virtual machines the first touch of a fresh page is expensive (measured on the 2-core build VM:
// about 18 us per page when faulted one by one, about 1.5 us when the whole range is populated with one madvise).
// A new slab is therefore populated in one call (MADV_POPULATE_WRITE; ignored where the kernel lacks it), and
// slabs large enough to make that call rare are recycled through the cache instead of bouncing through the
// allocator, which would trim and fault the same memory again. The cache mutex is taken once per slab (about 2,700
// nodes), never per push or pop.
//
// Fences. Publishing a hazard and then re-reading head (tail) is the store-buffering pattern against an unlink and a
// scan, which needs a full fence on both sides. The publishing side runs once per pop (and per push when tail has
// moved), the scanning side once per thousand retired nodes, so the fence is made asymmetric: where the kernel
// offers membarrier(MEMBARRIER_CMD_PRIVATE_EXPEDITED), a publication is a plain release store followed by a
// compiler-only barrier, and the scan issues membarrier() before it reads the slots. That call runs a full memory
// barrier on every CPU currently running a thread of this process, so for each publisher either its hazard store
// is visible to the scan's loads, or its re-read of head (tail) comes after the barrier and so after the unlink,
// and validation fails. Where membarrier is unavailable (old kernel, seccomp), both sides use real seq_cst fences:
// a seq_cst hazard store and an atomic_thread_fence in the scan. The choice is made once per process, before any
// record exists, so all threads agree. On the 2-core VM this took a locked instruction (about 9 ns) off every pop,
// and membarrier() costs about 1.5 us per scan.
//
// Memory orders. The hazard argument needs one total order over the operations that publish and check hazards and
// those that unlink nodes, so:
// - Every load, compare-and-swap and store on head, tail and the nodes' next links is seq_cst, and so are the
//   store that publishes a hazard and the scan's loads of the hazard slots. Publishing a hazard and re-reading head
//   (tail) against a concurrent unlink and scan is the store-buffering pattern: in the single total order either the
//   re-read comes after the unlinking compare-and-swap (validation fails and the reader retries without touching the
//   node), or the hazard store comes before it and therefore before the scan's load, which then sees the hazard and
//   keeps the node. For tail the unlink is indirect (head moves off a node only after tail has, and every step of
//   that chain is seq_cst), which is why the tail moves and the loads that observe them are seq_cst as well. On
//   x86-64 seq_cst loads and read-modify-writes are the same instructions as acquire/release ones; the only real
//   cost is the fence in each hazard publication, which the sticky hazards avoid where they can and the asymmetric
//   fence (above) moves to the scan where membarrier is available. With it, the hazard store is a release store
//   (it still publishes "done with the previous node" to the scan's acquire) and the full fence it stood for is
//   the scan's membarrier().
// - Clearing a hazard is a release store; the scan's seq_cst load of that slot is also an acquire. A scan that no
//   longer sees the pointer therefore happens after everything the owner did with the node, so freeing it does not
//   race the owner's last reads of it.
// - The same seq_cst operations also carry the node contents: a node's value, seq and empty next are written before
//   the compare-and-swap that links it (a release) and read after loading that link or head/tail (an acquire).
// Each atomic operation below carries a short note as well.

#include "kp2lfqueue.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <mutex>
#include <vector>

#include <linux/membarrier.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

// Linux 5.14; older kernels reject it and the pages are faulted in one by one as before.
#ifndef MADV_POPULATE_WRITE
#define MADV_POPULATE_WRITE 23
#endif

namespace {

// Hazard slots per record: 0 and 1 protect head and head's successor in pop (which one is which alternates, so that
// the successor protected by one pop is the head protected for the next); 2 and 3 protect tail and the node being
// pushed (alternating the same way); 4 and 5 protect head and tail in count().
constexpr int kSlots = 6;
constexpr int kCountHeadSlot = 4;
constexpr int kCountTailSlot = 5;
// Retired nodes beyond twice the number of hazard slots before a scan. With at least twice as many retired nodes as
// hazards a scan frees at least half of them, so reclamation costs O(1) per pop. With the asymmetric fence a scan
// costs a system call, so scans are rarer: about 1,100 nodes (26 KiB) per thread at most wait for one.
constexpr std::size_t kScanMargin = 64;
constexpr std::size_t kAsymmetricScanMargin = 1024;
// Slabs: blocks that nodes of the common size are carved from. The header takes the first cache line's worth.
constexpr std::size_t kSlabBytes = 65536;
constexpr std::size_t kSlabHeader = 64;
constexpr std::size_t kPageBytes = 4096;
// Done slabs kept for reuse by the whole process: 4 x 64 KiB.
constexpr int kCachedSlabs = 4;

#if defined(__SANITIZE_ADDRESS__)
#define KP2LFQ_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KP2LFQ_ASAN 1
#endif
#endif

#ifdef KP2LFQ_ASAN
}  // namespace
#include <sanitizer/asan_interface.h>
namespace {
// A node given back to its slab is not handed out again before its whole slab is done, so poisoning it lets
// AddressSanitizer report a late access just as it would for a node of its own allocation.
void poison(void *p, std::size_t n) {
    ASAN_POISON_MEMORY_REGION(p, n);
}
void unpoison(void *p, std::size_t n) {
    ASAN_UNPOISON_MEMORY_REGION(p, n);
}
#else
void poison(void *, std::size_t) {}
void unpoison(void *, std::size_t) {}
#endif

// Faults in a new slab's pages with one system call rather than one page fault each (see "Why 64 KiB" above).
void populate(void *block, std::size_t size) {
    const auto begin = (reinterpret_cast<std::uintptr_t>(block) + kPageBytes - 1) & ~std::uintptr_t(kPageBytes - 1);
    const auto end = (reinterpret_cast<std::uintptr_t>(block) + size) & ~std::uintptr_t(kPageBytes - 1);
    if (end > begin) (void)madvise(reinterpret_cast<void *>(begin), end - begin, MADV_POPULATE_WRITE);
}

// The fast publication needs the process registered for expedited membarrier; asked once, before the first record.
bool registerMembarrier() {
    return syscall(SYS_membarrier, MEMBARRIER_CMD_REGISTER_PRIVATE_EXPEDITED, 0, 0) == 0;
}

}  // namespace

// The process-wide hazard-pointer domain shared by every KP2LFQueue, and the node allocator.
struct KP2LFQueueHazards {
    using Node = KP2LFQueueBase::Node;
    // Nodes of this size come from slabs: a node header and one pointer-sized value (QString, QByteArray,
    // QJsonObject, integers). Others are allocated one by one.
    static constexpr std::size_t kSlabNodeSize = sizeof(Node) + sizeof(void *);
    static constexpr int kNodesPerSlab = int((kSlabBytes - kSlabHeader) / kSlabNodeSize);

    // A slab lives until each of its nodes has been freed and its carver has moved on. live counts both: it starts
    // at kNodesPerSlab + 1 and is lowered with acq_rel, so the thread that brings it to 0 frees the slab after every
    // other thread's last use of it.
    struct Slab {
        std::atomic<int> live{kNodesPerSlab + 1};
    };
    static_assert(sizeof(Slab) <= kSlabHeader, "slab header too large");

    struct alignas(64) Record {
        // Set while a thread owns the record. Claimed by exchange (acquire), given back by a release store, so that
        // the next owner sees the record's private state exactly as the previous owner left it.
        std::atomic<bool> active{true};
        // Read by every scan; written only by the owner.
        std::atomic<Node *> slot[kSlots] = {nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};
        Record *nextRecord = nullptr;  // fixed before the record is published, never changed afterwards
        // Owner-only state.
        Node *safe[kSlots] = {};  // slot contents validated and protected without interruption since
        int pushOwn = 2;          // slot (2 or 3) holding the node of the last push
        std::vector<Node *> retired;
        std::size_t retiredAtLastScan = 0;
        std::vector<Node *> seen;  // scratch space of scan()
        Slab *slab = nullptr;      // the slab being carved, and the part of it not yet handed out
        char *carve = nullptr;
        char *carveEnd = nullptr;
        bool asymmetric = false;  // membarrier available: see "Fences" above; the same in every record
    };

    // Gives nodes back, lowering each slab's count once per batch rather than once per node.
    class Freer {
    public:
        ~Freer() { flush(); }
        void add(Node *node);
        void flush();

    private:
        struct Entry {
            Slab *slab;
            int count;
        };
        Entry m_entries[8];
        int m_used = 0;
    };

    static Record *record();
    // Publishes p in slot ahead of the caller's validating re-read of head or tail (see "Fences" above).
    static void publish(Record *r, std::atomic<Node *> &slot, Node *p) {
        if (r->asymmetric) {
            // Release: the owner's reads of the slot's previous node happen before a scan that sees p there. The
            // full fence this store needs against the scan is the scan's membarrier(); the signal fence only keeps
            // the compiler from moving the validating load above the store.
            slot.store(p, std::memory_order_release);
            std::atomic_signal_fence(std::memory_order_seq_cst);
        } else {
            // seq_cst: the store-buffering fence itself.
            slot.store(p, std::memory_order_seq_cst);
        }
    }
    // The scan's side of the same fence, between the unlinks of the retired nodes and the loads of the slots.
    static void scanFence(Record *r) {
        if (r->asymmetric)
            syscall(SYS_membarrier, MEMBARRIER_CMD_PRIVATE_EXPEDITED, 0, 0);
        else
            std::atomic_thread_fence(std::memory_order_seq_cst);
    }
    static Record *claim();
    static void release(Record *r);
    static void retire(Record *r, Node *node);
    static void scan(Record *r);
    static KP2LFQueueBase::NodeMemory allocate(Record *r, std::size_t size);
    static void dropSlab(Slab *slab, int count);
    static void *takeSlabBlock();

    // The cache of done slabs; see "Slabs" above.
    static std::mutex s_slabCacheMutex;
    static void *s_slabCache[kCachedSlabs];
    static int s_slabCacheSize;

    // Acquire loads of the list head pair with the release compare-and-swaps that publish records; every later
    // publisher's compare-and-swap continues the release sequence, so one acquire load sees every record's fields.
    static std::atomic<Record *> s_records;
    // Relaxed: only sizes the scan threshold; a stale value merely shifts when a scan happens.
    static std::atomic<int> s_recordCount;
};

std::atomic<KP2LFQueueHazards::Record *> KP2LFQueueHazards::s_records{nullptr};
std::atomic<int> KP2LFQueueHazards::s_recordCount{0};
std::mutex KP2LFQueueHazards::s_slabCacheMutex;
void *KP2LFQueueHazards::s_slabCache[kCachedSlabs];
int KP2LFQueueHazards::s_slabCacheSize = 0;

namespace {

using Record = KP2LFQueueHazards::Record;
using Freer = KP2LFQueueHazards::Freer;

// The calling thread's record. A plain pointer keeps the fast path free of thread-exit bookkeeping; the owner
// object below, touched only when a record is claimed, gives the record back when the thread ends.
thread_local Record *t_record = nullptr;
thread_local bool t_exited = false;

struct RecordOwner {
    ~RecordOwner() {
        if (t_record) KP2LFQueueHazards::release(t_record);
        t_record = nullptr;
        t_exited = true;
    }
};
thread_local RecordOwner t_owner;

void cpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
}

}  // namespace

KP2LFQueueHazards::Record *KP2LFQueueHazards::record() {
    if (Q_LIKELY(t_record)) return t_record;
    t_record = claim();
    // Touching the owner registers its destructor for this thread. A call made while the thread's thread-locals
    // are being destroyed keeps its record for good (one record per such thread).
    if (!t_exited) (void)&t_owner;
    return t_record;
}

KP2LFQueueHazards::Record *KP2LFQueueHazards::claim() {
    for (Record *r = s_records.load(std::memory_order_acquire); r; r = r->nextRecord) {
        // The relaxed pre-check avoids writing to records that are visibly owned; the exchange decides.
        if (!r->active.load(std::memory_order_relaxed) && !r->active.exchange(true, std::memory_order_acquire))
            return r;
    }
    // Decided once for the process (a function-local static), before the first record is published, so that
    // publishers and scans always pair the same kind of fence.
    static const bool asymmetric = registerMembarrier();
    Record *r = new Record;  // born active, so no other thread can claim it once it is published
    r->asymmetric = asymmetric;
    Record *top = s_records.load(std::memory_order_relaxed);
    do {
        r->nextRecord = top;
        // Release: publishes the record's initial state to the acquire loads that walk the list.
    } while (!s_records.compare_exchange_weak(top, r, std::memory_order_release, std::memory_order_relaxed));
    s_recordCount.fetch_add(1, std::memory_order_relaxed);
    return r;
}

void KP2LFQueueHazards::release(Record *r) {
    for (int i = 0; i < kSlots; ++i) {
        // Release: the owner's last reads of the node happen before a scan that sees the slot empty frees it.
        r->slot[i].store(nullptr, std::memory_order_release);
        r->safe[i] = nullptr;
    }
    scan(r);
    if (r->slab) {
        // The nodes never carved are as good as freed; the carver's own reference goes with them.
        const int unused = int((r->carveEnd - r->carve) / kSlabNodeSize);
        dropSlab(r->slab, unused + 1);
        r->slab = nullptr;
        r->carve = r->carveEnd = nullptr;
    }
    // Release: hands the retired list (nodes still protected elsewhere) over to the next owner's acquire exchange.
    r->active.store(false, std::memory_order_release);
}

void KP2LFQueueHazards::retire(Record *r, Node *node) {
    r->retired.push_back(node);
    const std::size_t threshold = 2 * kSlots * std::size_t(s_recordCount.load(std::memory_order_relaxed)) +
                                  (r->asymmetric ? kAsymmetricScanMargin : kScanMargin);
    if (r->retired.size() >= threshold) scan(r);
}

void KP2LFQueueHazards::scan(Record *r) {
    std::vector<Node *> &seen = r->seen;
    seen.clear();
    // Every retired node was unlinked before this point (by this thread, or by a previous owner of the record).
    scanFence(r);
    for (Record *o = s_records.load(std::memory_order_acquire); o; o = o->nextRecord) {
        for (auto &slot : o->slot) {
            // seq_cst: the reading side of the hazard protocol; it is also an acquire of a cleared or replaced slot.
            if (Node *p = slot.load(std::memory_order_seq_cst)) seen.push_back(p);
        }
    }
    std::sort(seen.begin(), seen.end());
    std::size_t kept = 0;
    Freer freer;
    for (Node *n : r->retired) {
        if (std::binary_search(seen.begin(), seen.end(), n))
            r->retired[kept++] = n;
        else
            freer.add(n);
    }
    r->retired.resize(kept);
    r->retiredAtLastScan = kept;
}

KP2LFQueueBase::NodeMemory KP2LFQueueHazards::allocate(Record *r, std::size_t size) {
    if (size != kSlabNodeSize) return {::operator new(size), 0};
    if (r->carve == r->carveEnd) {
        if (r->slab) dropSlab(r->slab, 1);  // fully carved: the carver lets go
        void *block = takeSlabBlock();
        r->slab = new (block) Slab;
        r->carve = static_cast<char *>(block) + kSlabHeader;
        r->carveEnd = r->carve + kNodesPerSlab * kSlabNodeSize;
    }
    void *node = r->carve;
    const auto offset = std::uint32_t(r->carve - reinterpret_cast<char *>(r->slab));
    r->carve += kSlabNodeSize;
    return {node, offset};
}

void *KP2LFQueueHazards::takeSlabBlock() {
    void *block = nullptr;
    {
        // The mutex orders the block's earlier life (its nodes' last uses, all before the drop that made it done)
        // before its reuse here.
        std::lock_guard<std::mutex> lock(s_slabCacheMutex);
        if (s_slabCacheSize > 0) block = s_slabCache[--s_slabCacheSize];
    }
    if (block) {
        unpoison(static_cast<char *>(block) + kSlabHeader, kSlabBytes - kSlabHeader);
        return block;
    }
    // A plain allocation (no alignment beyond the allocator's), so that the allocator can hand a freed slab's block
    // straight to the next slab.
    block = ::operator new(kSlabBytes);
    populate(block, kSlabBytes);
    return block;
}

void KP2LFQueueHazards::dropSlab(Slab *slab, int count) {
    // acq_rel: every thread's release of its share happens before the acquire of the one that frees the block.
    if (slab->live.fetch_sub(count, std::memory_order_acq_rel) == count) {
        slab->~Slab();
        {
            std::lock_guard<std::mutex> lock(s_slabCacheMutex);
            if (s_slabCacheSize < kCachedSlabs) {
                s_slabCache[s_slabCacheSize++] = slab;
                return;
            }
        }
        ::operator delete(static_cast<void *>(slab));
    }
}

void KP2LFQueueHazards::Freer::add(Node *node) {
    if (node->slabOffset == 0) {
        ::operator delete(static_cast<void *>(node));
        return;
    }
    Slab *slab = reinterpret_cast<Slab *>(reinterpret_cast<char *>(node) - node->slabOffset);
    poison(node, kSlabNodeSize);
    for (int i = 0; i < m_used; ++i) {
        if (m_entries[i].slab == slab) {
            ++m_entries[i].count;
            return;
        }
    }
    if (m_used == int(sizeof(m_entries) / sizeof(m_entries[0]))) flush();
    m_entries[m_used++] = {slab, 1};
}

void KP2LFQueueHazards::Freer::flush() {
    for (int i = 0; i < m_used; ++i) dropSlab(m_entries[i].slab, m_entries[i].count);
    m_used = 0;
}

KP2LFQueueBase::KP2LFQueueBase(std::size_t nodeSize) : m_nodeSize(nodeSize) {
    const NodeMemory m = allocateNode();
    Node *sentinel = new (m.memory) Node(m.slabOffset);
    // Relaxed: the constructor runs before any other thread can know the queue.
    m_head.store(sentinel, std::memory_order_relaxed);
    m_tail.store(sentinel, std::memory_order_relaxed);
}

KP2LFQueueBase::~KP2LFQueueBase() {
    m_closed.store(true, std::memory_order_relaxed);
    // Destruction is exclusive, so relaxed loads see the final state; the values are gone already. The nodes are
    // freed without a scan: a sticky hazard slot may still name one, which only delays the free of whatever later
    // occupies the address.
    Freer freer;
    for (Node *n = m_head.load(std::memory_order_relaxed); n;) {
        Node *next = n->next.load(std::memory_order_relaxed);
        freer.add(n);
        n = next;
    }
}

int KP2LFQueueBase::count() const {
    // Each node carries its position, one more than its predecessor's, so the number of items is the position of
    // the last node minus that of the sentinel. head is read before tail, and tail never falls behind head, so the
    // difference is never negative.
    Record *rec = KP2LFQueueHazards::record();
    auto &hs = rec->slot[kCountHeadSlot];
    auto &ts = rec->slot[kCountTailSlot];
    for (;;) {
        // seq_cst loads, hazard publications and re-reads: the hazard protocol, as in popNode() and pushNode().
        Node *h = m_head.load(std::memory_order_seq_cst);
        KP2LFQueueHazards::publish(rec, hs, h);
        if (m_head.load(std::memory_order_seq_cst) != h) continue;
        Node *t = m_tail.load(std::memory_order_seq_cst);
        KP2LFQueueHazards::publish(rec, ts, t);
        if (m_tail.load(std::memory_order_seq_cst) != t) continue;
        // seq is written before a node is linked and never changes afterwards. A set next means that tail lags one
        // node behind the last. seq_cst like every load of a link.
        std::uint32_t n = t->seq - h->seq;
        if (t->next.load(std::memory_order_seq_cst)) ++n;
        // Release: our reads of the two nodes happen before any scan that finds the slots empty and frees them.
        hs.store(nullptr, std::memory_order_release);
        ts.store(nullptr, std::memory_order_release);
        return n > std::uint32_t(INT_MAX) ? INT_MAX : int(n);
    }
}

bool KP2LFQueueBase::isClosed() const {
    return m_closed.load(std::memory_order_relaxed);  // a flag only; no data hangs on it
}

void KP2LFQueueBase::markClosed() {
    m_closed.store(true, std::memory_order_relaxed);  // a flag only; no data hangs on it
}

KP2LFQueueBase::Node *KP2LFQueueBase::firstNode() const {
    return m_head.load(std::memory_order_relaxed)->next.load(std::memory_order_relaxed);  // destruction only
}

KP2LFQueueBase::NodeMemory KP2LFQueueBase::allocateNode() {
    return KP2LFQueueHazards::allocate(KP2LFQueueHazards::record(), m_nodeSize);
}

void KP2LFQueueBase::pushNode(Node *node) {
    Record *rec = KP2LFQueueHazards::record();
    const int ts = rec->pushOwn;  // protects tail; may already hold it (our previous node)
    const int ns = 5 - ts;        // protects our node from before it is linked
    // Release is more than enough: the compare-and-swap that links the node is sequenced after this store, so any
    // thread that later unlinks the node and scans happens after it and sees the slot (or our later stores to it).
    rec->slot[ns].store(node, std::memory_order_release);
    rec->safe[ns] = node;
    int spins = 1;
    for (;;) {
        // All loads and compare-and-swaps of tail and links here are seq_cst: see "Memory orders" above.
        Node *t = m_tail.load(std::memory_order_seq_cst);
        if (t != rec->safe[ts]) {
            rec->safe[ts] = nullptr;
            // Publish the hazard, then check that tail still holds t: t is then still in the list.
            KP2LFQueueHazards::publish(rec, rec->slot[ts], t);
            if (m_tail.load(std::memory_order_seq_cst) != t) continue;
            rec->safe[ts] = t;
        }
        Node *next = t->next.load(std::memory_order_seq_cst);
        if (next) {
            // Tail lags: help it on. Failure means another thread moved it; the loop reloads tail anyway, so the
            // failure order is relaxed.
            m_tail.compare_exchange_strong(t, next, std::memory_order_seq_cst, std::memory_order_relaxed);
            continue;
        }
        node->seq = t->seq + 1;  // the node is still private; t's seq was fixed before t was linked
        Node *expected = nullptr;
        // Links the node and publishes its contents (value, seq, empty next). Failure: another push linked first;
        // relaxed, the loop starts over.
        if (t->next.compare_exchange_strong(expected, node, std::memory_order_seq_cst, std::memory_order_relaxed)) {
            // Swing tail to the new node; failure means a helper already did.
            m_tail.compare_exchange_strong(t, node, std::memory_order_seq_cst, std::memory_order_relaxed);
            break;
        }
        // Lost the race for the last node: back off briefly so that the winner can finish moving tail.
        for (int i = 0; i < spins; ++i) cpuRelax();
        spins = std::min(spins * 2, 64);
    }
    // Release: our reads of t happen before any scan that finds the slot empty and frees t.
    rec->slot[ts].store(nullptr, std::memory_order_release);
    rec->safe[ts] = nullptr;
    rec->pushOwn = ns;
}

KP2LFQueueBase::Node *KP2LFQueueBase::popNode() {
    Record *rec = KP2LFQueueHazards::record();
    for (;;) {
        // All loads and compare-and-swaps of head, tail and links here are seq_cst: see "Memory orders" above.
        Node *h = m_head.load(std::memory_order_seq_cst);
        int hs;
        if (h == rec->safe[0]) {
            hs = 0;
        } else if (h == rec->safe[1]) {
            hs = 1;
        } else {
            hs = 0;
            rec->safe[0] = nullptr;
            // Publish the hazard, then check that head still holds h.
            KP2LFQueueHazards::publish(rec, rec->slot[0], h);
            if (m_head.load(std::memory_order_seq_cst) != h) continue;
            rec->safe[0] = h;
        }
        const int ns = 1 - hs;
        Node *next = h->next.load(std::memory_order_seq_cst);
        if (!next) {
            // Empty. An idle queue gives back what this thread retired since its last scan. h stays protected
            // (sticky) for the next call.
            if (rec->retired.size() != rec->retiredAtLastScan) KP2LFQueueHazards::scan(rec);
            return nullptr;
        }
        // The consumer walks nodes that producers wrote long ago: start fetching next's line now so that the miss
        // overlaps the hazard publication below. A prefetch never faults, even if next has been freed meanwhile.
        __builtin_prefetch(next);
        rec->safe[ns] = nullptr;
        // Protect next before it can become the sentinel and be popped past. head still being h proves that next
        // (h's successor) had not been unlinked when the hazard became visible.
        KP2LFQueueHazards::publish(rec, rec->slot[ns], next);
        if (m_head.load(std::memory_order_seq_cst) != h) continue;
        rec->safe[ns] = next;
        // Keep head from overtaking tail. While a node follows next, tail (the last node or the one before) is at
        // least next, and the contended tail line need not be read at all.
        Node *after = next->next.load(std::memory_order_seq_cst);
        if (after) __builtin_prefetch(after);  // the next pop's successor, as above
        if (!after && m_tail.load(std::memory_order_seq_cst) == h) {
            Node *t = h;
            // Failure means another thread moved it; we retry either way.
            m_tail.compare_exchange_strong(t, next, std::memory_order_seq_cst, std::memory_order_relaxed);
            continue;
        }
        // The unlinking step of the hazard protocol. On failure another pop won; relaxed, we retry.
        if (m_head.compare_exchange_strong(h, next, std::memory_order_seq_cst, std::memory_order_relaxed)) {
            // Release: our reads of h happen before any scan that finds the slot empty and frees h.
            rec->slot[hs].store(nullptr, std::memory_order_release);
            rec->safe[hs] = nullptr;
            KP2LFQueueHazards::retire(rec, h);
            return next;  // the new sentinel, protected by slot ns until this thread's next call
        }
    }
}
