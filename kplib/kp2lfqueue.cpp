// How the queue works
//
// The list is the two-ended linked queue of Michael and Scott. head points at a sentinel node whose value has
// already been taken; the items are in the nodes after it. A push links its node after the last node with a
// compare-and-swap on that node's next, then swings tail to it; a thread that finds tail lagging moves it on first.
// A pop swings head one node forward with a compare-and-swap: the node it moves to becomes the new sentinel and
// holds the popped value, and the old sentinel leaves the list. A pop that finds tail lagging at head moves tail
// first, so head never passes tail and every node that tail points at is still in the list.
//
// Values. The textbook pop copies the value before its head compare-and-swap, because after it another consumer may
// free the node. With reference-counted values (QString, QByteArray, QJsonObject) that early copy would race with a
// faster consumer that has already popped the node and destroyed the value. Here only the consumer that won the
// compare-and-swap reads the value, after winning it, while its hazard pointer keeps the node alive.
//
// Reclamation: hazard pointers. Each thread that uses a queue owns a record with two hazard slots. Before it
// dereferences a node read from head, tail or a link, it publishes the pointer in a slot and checks that head (tail)
// still leads to it: the node was then still in the list when the hazard became visible, and no later scan frees it
// while the slot holds it. A protected node cannot be freed and reused, which also rules out ABA on the
// compare-and-swaps. The old sentinel goes into its thread's retired list; when the list reaches kScanThreshold,
// every node in it that no slot holds is deleted, so memory stays bounded however long the daemon runs. Retired
// nodes hold no value any more, so the records are shared by every queue of the process (one grow-only list), and a
// node may outlive its queue. A thread gives its record back when it ends; what it retired that is still protected
// stays in the record and is freed by the record's next owner. Nodes come from plain new and go with plain delete:
// one node per name, minutes apart, gives an allocator of our own nothing to save.
//
// Memory order. Every atomic operation here is sequentially consistent (the default). Publishing a hazard and then
// re-reading head, against another thread's unlinking compare-and-swap followed by its scan of the slots, is the
// store-buffering pattern: only a single total order over all four guarantees that either the re-read sees the
// unlink (and the reader retries without touching the node) or the scan sees the hazard (and keeps the node). The
// same operations carry a node's contents from its producer (written before the compare-and-swap that links it) to
// its readers, and a reader's last use of a node to the scan that finds its slot cleared. Nothing weaker is needed:
// the queue carries a few names per backup cycle, so full fences cost nothing that matters.

#include "kp2lfqueue.h"

#include <algorithm>
#include <vector>

// The hazard pointers shared by every KP2LFQueue of the process.
struct KP2LFQueueHazards {
    using Node = KP2LFQueueBase::Node;
    // Slot 0 protects head (pop) or tail (push); slot 1 protects head's successor in pop.
    static constexpr int kSlots = 2;
    // Retired nodes per thread before a scan. A scan frees all but the few nodes other threads hold at that moment.
    static constexpr std::size_t kScanThreshold = 64;

    struct Record {
        std::atomic<bool> active{true};  // owned by a thread
        std::atomic<Node *> slot[kSlots] = {{nullptr}, {nullptr}};
        Record *nextRecord = nullptr;  // fixed before the record is published
        std::vector<Node *> retired;   // the owner's only
    };
    static std::atomic<Record *> s_records;

    // The calling thread's record, claimed on first use.
    static Record *mine();

    static Record *claim() {
        for (Record *r = s_records.load(); r; r = r->nextRecord) {
            bool expected = false;
            if (r->active.compare_exchange_strong(expected, true)) return r;
        }
        Record *r = new Record;  // born active, so no other thread claims it once it is published
        r->nextRecord = s_records.load();
        while (!s_records.compare_exchange_weak(r->nextRecord, r)) {
        }
        return r;
    }

    static void release(Record *r) {
        scan(r);  // the slots are already empty: every call clears them before it returns
        r->active.store(false);
    }

    // Publishes the node src points at in slot and returns it once src still points at it.
    static Node *protect(std::atomic<Node *> &slot, const std::atomic<Node *> &src) {
        Node *p = src.load();
        for (;;) {
            slot.store(p);
            Node *again = src.load();
            if (again == p) return p;
            p = again;
        }
    }

    static void retire(Record *r, Node *node) {
        r->retired.push_back(node);
        if (r->retired.size() >= kScanThreshold) scan(r);
    }

    // Deletes the nodes r retired (all unlinked before this point) that no slot holds.
    static void scan(Record *r) {
        std::vector<Node *> held;
        for (Record *o = s_records.load(); o; o = o->nextRecord) {
            for (auto &slot : o->slot) {
                if (Node *p = slot.load()) held.push_back(p);
            }
        }
        std::sort(held.begin(), held.end());
        std::vector<Node *> kept;
        for (Node *n : r->retired) {
            if (std::binary_search(held.begin(), held.end(), n))
                kept.push_back(n);
            else
                delete n;
        }
        r->retired.swap(kept);
    }
};

std::atomic<KP2LFQueueHazards::Record *> KP2LFQueueHazards::s_records{nullptr};

namespace {

// Gives the record back when its thread ends, so that threads that push an item or two and end do not leave a
// record each behind.
struct ThreadRecord {
    KP2LFQueueHazards::Record *record = nullptr;
    ~ThreadRecord() {
        if (record) KP2LFQueueHazards::release(record);
    }
};
thread_local ThreadRecord t_record;

}  // namespace

KP2LFQueueHazards::Record *KP2LFQueueHazards::mine() {
    if (!t_record.record) t_record.record = claim();
    return t_record.record;
}

KP2LFQueueBase::KP2LFQueueBase() {
    Node *sentinel = new Node;
    m_head.store(sentinel);
    m_tail.store(sentinel);
}

KP2LFQueueBase::~KP2LFQueueBase() {
    // Destruction is exclusive, and every call clears its hazards before it returns: no slot names a linked node.
    for (Node *n = m_head.load(); n;) {
        Node *next = n->next.load();
        delete n;
        n = next;
    }
}

int KP2LFQueueBase::count() const {
    // A pop may lower the count for an item before the push that linked it has raised it; that moment reads as empty.
    return std::max(0, m_count.load());
}

void KP2LFQueueBase::pushNode(Node *node) {
    auto *rec = KP2LFQueueHazards::mine();
    for (;;) {
        Node *t = KP2LFQueueHazards::protect(rec->slot[0], m_tail);
        Node *next = t->next.load();
        if (next) {
            m_tail.compare_exchange_strong(t, next);  // tail lags: help it on (failing means another thread did)
            continue;
        }
        Node *expected = nullptr;
        // Pushes from several threads are ordered by which of them wins this compare-and-swap.
        if (t->next.compare_exchange_strong(expected, node)) {
            m_tail.compare_exchange_strong(t, node);  // fails only if a helper has moved tail on already
            break;
        }
    }
    rec->slot[0].store(nullptr);
    m_count.fetch_add(1);
}

KP2LFQueueBase::Node *KP2LFQueueBase::popNode() {
    auto *rec = KP2LFQueueHazards::mine();
    for (;;) {
        Node *h = KP2LFQueueHazards::protect(rec->slot[0], m_head);
        Node *t = m_tail.load();  // compared only, never dereferenced
        Node *next = h->next.load();
        rec->slot[1].store(next);
        // head still being h proves that next, h's successor, had not been unlinked when its hazard became visible.
        if (m_head.load() != h) continue;
        if (!next) {
            rec->slot[0].store(nullptr);
            return nullptr;
        }
        if (h == t) {
            m_tail.compare_exchange_strong(t, next);  // tail lags at head: move it on before head passes it
            continue;
        }
        if (m_head.compare_exchange_strong(h, next)) {
            m_count.fetch_sub(1);
            rec->slot[0].store(nullptr);
            KP2LFQueueHazards::retire(rec, h);
            return next;  // the new sentinel; slot 1 protects it and its value until donePop()
        }
    }
}

void KP2LFQueueBase::donePop() {
    KP2LFQueueHazards::mine()->slot[1].store(nullptr);
}
