// Byte-level I/O of the local RPC service on Unix-domain stream sockets: connecting within a time limit, writing a
// whole buffer before a deadline, and reading the datagrams of KP2RpcPacket's framing with bounded buffering. The
// connection workers and the client side both use these, so each rule exists once.
// The functions are reentrant and work only on their arguments; a Lnx2DatagramReader belongs to one connection and
// is used by one thread at a time. Descriptors stay owned by the caller, except the one lnx2ConnectWithin returns.
#pragma once

#include <QByteArray>
#include <QDeadlineTimer>
#include <atomic>

#include "kp2rpcpacket.h"

// Makes the accepted connection fd blocking and close-on-exec, for a thread that waits inside its system calls.
void lnx2MakeBlocking(int fd);
// Shuts both directions of fd down: a recv() or a wait for room to send on it, in any thread, ends at once.
void lnx2Shutdown(int fd);
void lnx2Close(int fd);
// Raises the backlog of the listening socket fd, so that bursts of clients wait in the kernel rather than be refused.
void lnx2SetListenBacklog(int fd, int backlog);

// Connects a new blocking stream socket to the socket file path before deadline (a listener whose backlog is full
// makes connect() wait). Returns the descriptor, which the caller closes, or -1 when path is empty or too long, no
// one listens there, or the deadline passes first.
int lnx2ConnectWithin(const QByteArray &path, const QDeadlineTimer &deadline);

// Writes all of bytes to the stream socket fd (blocking or not) and waits for room in its buffer until deadline at
// the latest; with an expired deadline it writes what the socket takes at once. A peer that has gone is a failure,
// not a signal. Returns false when the peer has gone, fd has been shut down (which also ends a wait for room), or
// the deadline passes first; how much was written is then unknown.
bool lnx2SendAll(int fd, const QByteArray &bytes, const QDeadlineTimer &deadline);

// Returns the heap memory that has been freed to the system (the allocator otherwise keeps it for reuse, per thread
// arena). Costs a walk over the allocator's arenas: for after a large allocation has gone, not for every request.
void lnx2ReturnFreeMemory();
// Process-wide: every heap block of at least bytes (capped at 32 MiB) gets a mapping of its own, which goes back to
// the system as soon as the block is freed, instead of a place in the allocator's arenas.
void lnx2MapLargeBlocks(qint64 bytes);

// The memory that the readers of one server may hold together for datagrams being read. Readers charge it before
// they grow their buffers and give back what they release. Thread-safe; a limit of 0 means no limit.
class Lnx2ReadBudget {
public:
    explicit Lnx2ReadBudget(qint64 limit = 0) : m_limit(limit) {}
    void setLimit(qint64 limit) { m_limit.store(limit, std::memory_order_relaxed); }
    qint64 limit() const { return m_limit.load(std::memory_order_relaxed); }
    // Bytes charged at the moment.
    qint64 used() const { return m_used.load(std::memory_order_relaxed); }
    // Charges bytes when they fit below the limit; false (nothing charged) when they do not.
    bool tryCharge(qint64 bytes);
    // Charges bytes (negative: gives them back) whatever the limit.
    void charge(qint64 bytes) { m_used.fetch_add(bytes, std::memory_order_relaxed); }

private:
    // Relaxed throughout: the counters publish no other data, and each charge is one atomic step on m_used.
    std::atomic<qint64> m_used{0};
    std::atomic<qint64> m_limit;
    Q_DISABLE_COPY(Lnx2ReadBudget)
};

// Reads datagrams from one connection. It never holds more than one datagram's worth of bytes: whatever cannot
// become a valid datagram (a bad mark, broken JSON, a datagram larger than the reader's limit) ends the reading at
// once instead of being buffered, and memory follows what arrives, not what a header promises.
class Lnx2DatagramReader {
public:
    enum Result {
        Packet,     // packet holds the next non-empty object
        Closed,     // the peer closed, fd was shut down, or the connection broke
        Malformed,  // the bytes at the front can never become a datagram, or one larger than the limits allow
        TimedOut,   // the deadline passed before a whole datagram arrived
    };

    // The next non-empty packet from the stream socket fd, in the order sent. Datagrams already buffered are
    // decoded before fd is read again; keep-alives and empty objects (JSON "{}" or a JSON text that is not an
    // object) are skipped. Blocks until a packet is complete, the peer closes, fd is shut down, or deadline passes.
    // With a Forever deadline on a blocking fd it waits in recv() alone and costs no wake-ups. packet is unspecified
    // unless the result is Packet.
    Result next(int fd, KP2RpcPacket &packet, const QDeadlineTimer &deadline = QDeadlineTimer(QDeadlineTimer::Forever));

    Lnx2DatagramReader() = default;
    ~Lnx2DatagramReader();

    // Limits what follows: a datagram larger than maxDatagram bytes (at most KP2RpcPacket::MaxDatagramSize) is
    // Malformed, and so is one whose bytes would take budget (when not null) over its limit. The buffer's memory
    // beyond a small allowance per connection is charged to budget, which must stay alive until clear() or the
    // destructor has given it back.
    void setLimits(quint32 maxDatagram, Lnx2ReadBudget *budget);
    // Gives back the buffer's spare memory when it holds less than one read's worth of bytes (after a datagram, say).
    // Returns the bytes given back.
    qint64 release();
    // Drops whatever is buffered and gives back all memory. Returns the bytes given back.
    qint64 clear();

private:
    // Appends the bytes of one recv() to the buffer; false with the reason in failure when none came.
    bool read(int fd, int pendingSize, const QDeadlineTimer &deadline, Result &failure);
    // Makes room for capacity bytes, charged to the budget; false when the budget has no room.
    bool reserve(int capacity);
    // Brings the budget's charge in line with the buffer's capacity; returns the change in capacity.
    qint64 settle(qint64 oldCapacity);

    QByteArray m_buffer;  // received and not yet decoded
    quint32 m_maxDatagram = KP2RpcPacket::MaxDatagramSize;
    Lnx2ReadBudget *m_budget = nullptr;
    qint64 m_charged = 0;  // what this reader holds of m_budget
    Q_DISABLE_COPY(Lnx2DatagramReader)
};
