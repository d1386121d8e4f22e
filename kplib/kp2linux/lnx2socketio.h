// Byte-level I/O of the local RPC service on Unix-domain stream sockets: connecting within a time limit, writing a
// whole buffer before a deadline, and reading the datagrams of KP2RpcPacket's framing with bounded buffering. The
// connection workers and the client side both use these, so each rule exists once.
// The functions are reentrant and work only on their arguments; a Lnx2DatagramReader belongs to one connection and
// is used by one thread at a time. Descriptors stay owned by the caller, except the one lnx2ConnectWithin returns.
#pragma once

#include <QByteArray>
#include <QDeadlineTimer>

class KP2RpcPacket;

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

// Reads datagrams from one connection. It never holds more than one datagram's worth of bytes: whatever cannot
// become a valid datagram (a bad mark, broken JSON, a header announcing more than KP2RpcPacket::MaxDatagramSize)
// ends the reading at once instead of being buffered, and memory follows what arrives, not what a header promises.
class Lnx2DatagramReader {
public:
    enum Result {
        Packet,     // packet holds the next non-empty object
        Closed,     // the peer closed, fd was shut down, or the connection broke
        Malformed,  // the bytes at the front can never become a datagram; reading on is pointless
        TimedOut,   // the deadline passed before a whole datagram arrived
    };

    // The next non-empty packet from the stream socket fd, in the order sent. Datagrams already buffered are
    // decoded before fd is read again; keep-alives and empty objects (JSON "{}" or a JSON text that is not an
    // object) are skipped. Blocks until a packet is complete, the peer closes, fd is shut down, or deadline passes.
    // With a Forever deadline on a blocking fd it waits in recv() alone and costs no wake-ups. packet is unspecified
    // unless the result is Packet.
    Result next(int fd, KP2RpcPacket &packet, const QDeadlineTimer &deadline = QDeadlineTimer(QDeadlineTimer::Forever));

private:
    // Appends the bytes of one recv() to the buffer; false with the reason in failure when none came.
    bool read(int fd, int pendingSize, const QDeadlineTimer &deadline, Result &failure);

    QByteArray m_buffer;  // received and not yet decoded
};
