/* A minimal reference server for the RPC benchmark: one thread, poll() over every connection, the datagram framing
 * of the local RPC service, and a fixed {"err":0} reply to every data datagram (keep-alives are skipped). It parses
 * no JSON and dispatches nothing; it shows what the socket and the framing alone cost. */
#ifndef MINSERVER_H
#define MINSERVER_H

#ifdef __cplusplus
extern "C" {
#endif

/* Serves connections accepted on listenFd until stopFd (an eventfd) becomes readable. Returns 0, or -1 when it
 * could not allocate its tables. Closes every connection it accepted, but neither listenFd nor stopFd. */
int minserver_run(int listenFd, int stopFd);

#ifdef __cplusplus
}
#endif

#endif
