/* See minserver.h. */
#define _GNU_SOURCE
#include "minserver.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#define MAX_CONNS 1024
#define HEADER 16

struct conn {
    int fd;
    char *in;
    size_t inLen, inCap;
    char *out;
    size_t outLen, outOff, outCap;
};

static const char REPLY_JSON[] = "{\"err\":0}";
static char reply[HEADER + sizeof REPLY_JSON - 1];

static void buildReply(void) {
    uint32_t j = sizeof REPLY_JSON - 1, a = 0;
    memcpy(reply, "\0kp\1\1", 5);
    memcpy(reply + 5, &j, 4);
    memcpy(reply + 9, &a, 4);
    memcpy(reply + 13, "\xff\xff\xff", 3);
    memcpy(reply + HEADER, REPLY_JSON, j);
}

static int reserve(char **buf, size_t *cap, size_t need) {
    if (need <= *cap) return 0;
    size_t n = *cap ? *cap : 4096;
    while (n < need) n *= 2;
    char *p = realloc(*buf, n);
    if (!p) return -1;
    *buf = p;
    *cap = n;
    return 0;
}

/* Cuts complete datagrams off the input and queues one reply per data datagram. -1: malformed, close. */
static int consume(struct conn *c) {
    size_t off = 0;
    for (;;) {
        const size_t left = c->inLen - off;
        const char *p = c->in + off;
        if (left >= 4 && memcmp(p, "\0ka\0", 4) == 0) {
            off += 4;
            continue;
        }
        if (left < HEADER) break;
        if (memcmp(p, "\0kp", 3) != 0) return -1;
        uint32_t j, a;
        memcpy(&j, p + 5, 4);
        memcpy(&a, p + 9, 4);
        const uint64_t total = (uint64_t)HEADER + j + a;
        if (total > (64u << 20)) return -1;
        if (left < total) break;
        off += (size_t)total;
        if (reserve(&c->out, &c->outCap, c->outLen + sizeof reply) != 0) return -1;
        memcpy(c->out + c->outLen, reply, sizeof reply);
        c->outLen += sizeof reply;
    }
    memmove(c->in, c->in + off, c->inLen - off);
    c->inLen -= off;
    return 0;
}

/* Sends what is queued. -1: the peer has gone. */
static int flush(struct conn *c) {
    while (c->outOff < c->outLen) {
        const ssize_t n = send(c->fd, c->out + c->outOff, c->outLen - c->outOff, MSG_NOSIGNAL);
        if (n > 0) {
            c->outOff += (size_t)n;
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) return 0;
        return -1;
    }
    c->outOff = c->outLen = 0;
    return 0;
}

static void drop(struct conn *conns, int *count, int i) {
    close(conns[i].fd);
    free(conns[i].in);
    free(conns[i].out);
    conns[i] = conns[--*count];
}

int minserver_run(int listenFd, int stopFd) {
    buildReply();
    struct conn *conns = calloc(MAX_CONNS, sizeof *conns);
    struct pollfd *fds = calloc(MAX_CONNS + 2, sizeof *fds);
    if (!conns || !fds) {
        free(conns);
        free(fds);
        return -1;
    }
    int count = 0;
    for (;;) {
        fds[0].fd = stopFd;
        fds[0].events = POLLIN;
        fds[1].fd = listenFd;
        fds[1].events = count < MAX_CONNS ? POLLIN : 0;
        for (int i = 0; i < count; ++i) {
            fds[i + 2].fd = conns[i].fd;
            fds[i + 2].events = POLLIN | (conns[i].outOff < conns[i].outLen ? POLLOUT : 0);
        }
        if (poll(fds, (nfds_t)count + 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (fds[0].revents) break;
        /* Walk backwards: drop() moves the last connection into the freed slot. */
        for (int i = count - 1; i >= 0; --i) {
            const short ev = fds[i + 2].revents;
            struct conn *c = &conns[i];
            if (!ev) continue;
            if (ev & POLLOUT && flush(c) != 0) {
                drop(conns, &count, i);
                continue;
            }
            if (ev & (POLLIN | POLLHUP | POLLERR)) {
                if (reserve(&c->in, &c->inCap, c->inLen + 65536) != 0) {
                    drop(conns, &count, i);
                    continue;
                }
                const ssize_t n = recv(c->fd, c->in + c->inLen, c->inCap - c->inLen, 0);
                if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
                    drop(conns, &count, i);
                    continue;
                }
                if (n > 0) {
                    c->inLen += (size_t)n;
                    if (consume(c) != 0 || flush(c) != 0) drop(conns, &count, i);
                }
            }
        }
        if (fds[1].revents & POLLIN) {
            const int fd = accept4(listenFd, NULL, NULL, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd >= 0) {
                memset(&conns[count], 0, sizeof conns[count]);
                conns[count++].fd = fd;
            }
        }
    }
    while (count > 0) drop(conns, &count, count - 1);
    free(conns);
    free(fds);
    return 0;
}
