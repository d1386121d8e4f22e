// KP2LFQueue<T>: unbounded first-in-first-out queue that links producer threads to worker threads without locks.
// Thread-safe: any number of threads may push, pop and count at the same time; destruction must not overlap any
// other call. pop() hands the value over to the caller's variable; the queue keeps no reference to what it returns.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <new>
#include <type_traits>
#include <utility>

#include <QtGlobal>

// The type-independent part of KP2LFQueue: the linked list, its two ends, the count, and the node memory, which is
// reclaimed with hazard pointers shared by all queues of the process. It only moves links; values are built, moved
// out and destroyed by KP2LFQueue<T>.
class KP2LFQueueBase {
public:
    // The number of items. Exact when no push or pop is in progress; pushes and pops that overlap the call may or
    // may not be counted. Never negative.
    int count() const;
    // True once destruction has begun.
    bool isClosed() const;

protected:
    // A list node; the value, if any, is stored right behind it (KP2LFQueue<T>::ValueNode).
    struct Node {
        explicit Node(std::uint32_t slabOffset) : slabOffset(slabOffset) {}
        std::atomic<Node *> next{nullptr};
        const std::uint32_t slabOffset;  // distance back to the slab the node was carved from; 0: allocated alone
        std::uint32_t seq = 0;           // position in the queue (modulo 2^32); set before the node is linked
    };
    // Memory for one node, and the slabOffset to construct it with.
    struct NodeMemory {
        void *memory;
        std::uint32_t slabOffset;
    };

    // nodeSize: the size of every node this queue allocates.
    explicit KP2LFQueueBase(std::size_t nodeSize);
    // Frees the nodes still linked. The values in them must have been destroyed before.
    ~KP2LFQueueBase();

    // Memory for one node of nodeSize bytes.
    NodeMemory allocateNode();
    // Links a constructed node (next == nullptr) at the tail. Never fails.
    void pushNode(Node *node);
    // Unlinks the first item. Returns the node that holds the item's value, or nullptr when the queue is empty. The
    // node stays valid, and its value belongs to the caller to move out and destroy, until this thread's next call
    // into any KP2LFQueue.
    Node *popNode();

    // The first node that holds a value (head's successor), for destruction only.
    Node *firstNode() const;
    void markClosed();

private:
    // head is written by consumers and tail by producers, both at high rates; each gets its own cache line so that
    // the two sides do not invalidate each other's lines needlessly. There is no shared item counter: count() is
    // the difference of the positions of the nodes at tail and head, which spares every push and pop a locked
    // increment of one line that all threads would fight over.
    alignas(64) std::atomic<Node *> m_head;
    alignas(64) std::atomic<Node *> m_tail;
    alignas(64) std::atomic<bool> m_closed{false};
    const std::size_t m_nodeSize;

    friend struct KP2LFQueueHazards;
    Q_DISABLE_COPY(KP2LFQueueBase)
};

// T must be copyable. Its move constructor and destructor must not themselves call into a KP2LFQueue (pop() runs
// them while the node that held the value is still protected by this thread's hazard pointers).
template <typename T>
class KP2LFQueue : private KP2LFQueueBase {
    static_assert(std::is_copy_constructible<T>::value, "KP2LFQueue items must be copyable");
    static_assert(alignof(T) <= alignof(std::max_align_t), "KP2LFQueue items must not be over-aligned");

public:
    KP2LFQueue() : KP2LFQueueBase(sizeof(ValueNode)) {}
    // Destroys the values still queued and frees every node. No other call may run at the same time.
    ~KP2LFQueue() {
        markClosed();
        for (Node *n = firstNode(); n; n = n->next.load(std::memory_order_relaxed))
            static_cast<ValueNode *>(n)->value()->~T();
    }

    // Appends a copy of value. Never fails and never blocks.
    void push(const T &value) {
        const NodeMemory m = allocateNode();
        pushNode(new (m.memory) ValueNode(m.slabOffset, value));
    }
    void push(T &&value) {
        const NodeMemory m = allocateNode();
        pushNode(new (m.memory) ValueNode(m.slabOffset, std::move(value)));
    }

    // Takes the first item into out and returns true; returns false and leaves out untouched when the queue is empty.
    bool pop(T &out) {
        Node *node = popNode();
        if (!node) return false;
        // Only the caller that unlinked the node's predecessor reaches this value. It is moved into a local first,
        // so that whatever out's old value does when it is released runs after the node is no longer needed.
        T *value = static_cast<ValueNode *>(node)->value();
        T taken(std::move(*value));
        value->~T();
        out = std::move(taken);
        return true;
    }

    using KP2LFQueueBase::count;
    using KP2LFQueueBase::isClosed;

private:
    struct ValueNode : Node {
        template <typename U>
        ValueNode(std::uint32_t slabOffset, U &&v) : Node(slabOffset) {
            new (storage) T(std::forward<U>(v));
        }
        T *value() { return std::launder(reinterpret_cast<T *>(storage)); }
        alignas(T) unsigned char storage[sizeof(T)];
    };

    Q_DISABLE_COPY(KP2LFQueue)
};
