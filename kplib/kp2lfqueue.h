// KP2LFQueue<T>: unbounded first-in-first-out queue that links producer threads to worker threads without locks.
// Thread-safe: any number of threads may push, pop and count at the same time; destruction must not overlap any
// other call. pop() hands the value over to the caller's variable; the queue keeps no reference to what it returns.
#pragma once

#include <atomic>
#include <type_traits>
#include <utility>

#include <QtGlobal>

// The type-independent part of KP2LFQueue: the linked list, its two ends, the count and the reclamation of nodes
// that left the list. It only moves links; values are built, moved out and destroyed by KP2LFQueue<T>.
class KP2LFQueueBase {
public:
    // The number of items. Exact when no push or pop is in progress; pushes and pops that overlap the call may or
    // may not be counted. Never negative.
    int count() const;
    // True once destruction has begun.
    bool isClosed() const { return m_closed.load(); }

protected:
    // A list node. The sentinel of a new queue is a bare Node; every other node is a KP2LFQueue<T>::ValueNode.
    struct Node {
        virtual ~Node() = default;
        std::atomic<Node *> next{nullptr};
    };

    KP2LFQueueBase();
    // Deletes the nodes still linked. Their values must have been destroyed before.
    ~KP2LFQueueBase();

    // Links a new node (next == nullptr) at the tail and takes ownership of it. Never fails, never blocks.
    void pushNode(Node *node);
    // Unlinks the first item and returns the node that holds its value, or nullptr when the queue is empty. The node
    // stays valid, and its value belongs to the caller to move out and destroy, until the caller calls donePop().
    Node *popNode();
    void donePop();

    // The first node that holds a value (head's successor), for destruction only.
    Node *firstNode() const { return m_head.load()->next.load(); }
    void markClosed() { m_closed.store(true); }

private:
    std::atomic<Node *> m_head;
    std::atomic<Node *> m_tail;
    std::atomic<int> m_count{0};
    std::atomic<bool> m_closed{false};

    friend struct KP2LFQueueHazards;
    Q_DISABLE_COPY(KP2LFQueueBase)
};

// T must be copyable. Its move constructor and destructor must not themselves call into a KP2LFQueue: pop() runs
// them while this thread's hazard pointers still protect the node that held the value.
template <typename T>
class KP2LFQueue : private KP2LFQueueBase {
    static_assert(std::is_copy_constructible<T>::value, "KP2LFQueue items must be copyable");

public:
    KP2LFQueue() = default;
    // Destroys the values still queued and frees every node. No other call may run at the same time.
    ~KP2LFQueue() {
        markClosed();
        for (Node *n = firstNode(); n; n = n->next.load()) static_cast<ValueNode *>(n)->value.~T();
    }

    // Appends a copy of value. Never fails and never blocks.
    void push(const T &value) { pushNode(new ValueNode(value)); }
    void push(T &&value) { pushNode(new ValueNode(std::move(value))); }

    // Takes the first item into out and returns true; returns false and leaves out untouched when the queue is empty.
    bool pop(T &out) {
        Node *node = popNode();
        if (!node) return false;
        // Moved into a local first, so that whatever out's old value does when it is released runs after the node
        // is no longer needed.
        T &value = static_cast<ValueNode *>(node)->value;
        T taken(std::move(value));
        value.~T();
        donePop();
        out = std::move(taken);
        return true;
    }

    using KP2LFQueueBase::count;
    using KP2LFQueueBase::isClosed;

private:
    // The value is built with the node and destroyed by pop() or ~KP2LFQueue, never by the node's destructor: a node
    // that left the list is freed later, by whichever thread finds it unprotected.
    struct ValueNode : Node {
        template <typename U>
        explicit ValueNode(U &&v) : value(std::forward<U>(v)) {}
        ~ValueNode() override {}
        union {
            T value;
        };
    };

    Q_DISABLE_COPY(KP2LFQueue)
};
