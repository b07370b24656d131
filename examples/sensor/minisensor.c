/*
 * minisensor: the smallest useful sensor on libnvxapi.
 *
 * It opens one adapter inline, reads frames for a few seconds, blocks every TCP frame to or
 * from one port (the driver answers each blocked frame with resets to both ends) and prints a
 * summary. Every other frame is released unchanged.
 *
 * Usage: minisensor [-i adapter] [-t seconds] [-p port]
 *   -i adapter   adapter to open (default: the first one the driver lists)
 *   -t seconds   how long to read (default 5)
 *   -p port      TCP port whose frames are blocked (default 22)
 *
 * Build against an installed library:
 *   cc -o minisensor minisensor.c $(pkg-config --cflags --libs libnvxapi)
 * It uses only the public header nvxapi.h.
 */
#define _POSIX_C_SOURCE 200809L /* getopt */
#include <nvxapi.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#define ETHER_HEADER  14
#define ETHERTYPE_IP  0x0800
#define IPPROTO_TCP_  6
#define IPPROTO_UDP_  17
#define IPPROTO_ICMP_ 1
#define LIST_ROOM     (NVX_MAX_ADAPTERS * (sizeof(void *) + sizeof(ADAPTER_INFO)))

struct summary {
    unsigned long frames, bytes, inbound, outbound;
    unsigned long tcp, udp, icmp, other;
    unsigned long blocked;
};

static void usage(const char *prog)
{
    fprintf(stderr, "usage: %s [-i adapter] [-t seconds] [-p port]\n", prog);
}

/* The TCP ports of an Ethernet/IPv4/TCP frame; 0 when the frame is something else. */
static int tcp_ports(const U8 *f, U32 len, unsigned *sport, unsigned *dport)
{
    if (len < ETHER_HEADER + 20 || getUnsigned16(f, 12) != ETHERTYPE_IP)
        return 0;
    int ihl = (f[ETHER_HEADER] & 0xf) * 4;
    if (f[ETHER_HEADER + 9] != IPPROTO_TCP_ || len < (U32)(ETHER_HEADER + ihl + 20))
        return 0;
    *sport = (unsigned)getUnsigned16(f, ETHER_HEADER + ihl);
    *dport = (unsigned)getUnsigned16(f, ETHER_HEADER + ihl + 2);
    return 1;
}

static void count_protocol(struct summary *s, const U8 *f, U32 len)
{
    if (len < ETHER_HEADER + 20 || getUnsigned16(f, 12) != ETHERTYPE_IP) {
        s->other++;
        return;
    }
    switch (f[ETHER_HEADER + 9]) {
    case IPPROTO_TCP_:
        s->tcp++;
        break;
    case IPPROTO_UDP_:
        s->udp++;
        break;
    case IPPROTO_ICMP_:
        s->icmp++;
        break;
    default:
        s->other++;
        break;
    }
}

int main(int argc, char **argv)
{
    const char *name = NULL;
    int seconds = 5;
    unsigned port = 22;
    int opt;
    while ((opt = getopt(argc, argv, "i:t:p:")) != -1) {
        switch (opt) {
        case 'i':
            name = optarg;
            break;
        case 't':
            seconds = atoi(optarg);
            break;
        case 'p':
            port = (unsigned)atoi(optarg);
            break;
        default:
            usage(argv[0]);
            return 2;
        }
    }

    PKTINITPARMS init;
    memset(&init, 0, sizeof init);
    init.ulMajorRevision = PACKET_MAJOR_REVISION;
    int rc = PacketInit(&init);
    if (rc != PACKET_SUCCESS) {
        fprintf(stderr, "minisensor: PacketInit failed: %d\n", rc);
        return 1;
    }

    static unsigned char list_mem[LIST_ROOM];
    ADAPTER_INFO **list = NULL;
    int count = 0;
    rc = PacketGetAdapterList(list_mem, (int)sizeof list_mem, &list, &count);
    if (rc != PACKET_SUCCESS || count == 0) {
        fprintf(stderr, "minisensor: no adapter to open (%d)\n", rc);
        PacketTerminate();
        return 1;
    }
    ADAPTER_INFO *adapter = list[0];
    for (int i = 0; name != NULL && i < count; i++)
        if (strcmp(list[i]->szDeviceName, name) == 0)
            adapter = list[i];
    if (name != NULL && strcmp(adapter->szDeviceName, name) != 0) {
        fprintf(stderr, "minisensor: adapter %s not found\n", name);
        PacketTerminate();
        return 1;
    }

    /* Inline: open mode and capture mode both MODE_INLINE, so block verdicts count. */
    rc = PacketOpen(adapter, MODE_INLINE);
    if (rc == PACKET_SUCCESS)
        rc = PacketCreateRx(adapter, NVX_DEFAULT_BUFSIZE, CM_INLINE);
    if (rc != PACKET_SUCCESS) {
        fprintf(stderr, "minisensor: cannot capture on %s: %d\n", adapter->szDeviceName, rc);
        PacketTerminate();
        return 1;
    }
    printf("minisensor: capturing inline on %s for %d s, blocking TCP port %u\n",
           adapter->szDeviceName, seconds, port);

    struct summary s;
    memset(&s, 0, sizeof s);
    struct timespec started;
    clock_gettime(CLOCK_MONOTONIC, &started);
    time_t end = time(NULL) + seconds;
    while (time(NULL) < end) {
        PACKET_BUFFER *pb = NULL;
        rc = PacketRead(adapter, 1000, &pb);
        if (rc == PACKETERR_GET_RESULT_TIMEOUT || rc == PACKETERR_GENERAL)
            continue; /* an empty wait or a signal: read again */
        if (rc == PACKETERR_DRIVER_NOT_STARTED) {
            PACKET_BUFFER none;
            memset(&none, 0, sizeof none);
            PacketFree(adapter, &none, 0); /* resumes the capture */
            continue;
        }
        if (rc != PACKET_SUCCESS) {
            fprintf(stderr, "minisensor: PacketRead failed: %d\n", rc);
            break;
        }
        const U8 *data = PacketGetDataPtr(pb);
        s.frames++;
        s.bytes += pb->ulCapturedBytes;
        if (pb->ulStatus & PB_FLAG_TX)
            s.outbound++;
        else
            s.inbound++;
        count_protocol(&s, data, pb->ulCapturedBytes);
        unsigned sport = 0, dport = 0;
        U32 action = 0;
        if (tcp_ports(data, pb->ulCapturedBytes, &sport, &dport) &&
            (sport == port || dport == port)) {
            action = PACKET_FREE_BLOCK;
            s.blocked++;
        }
        PacketFree(adapter, pb, action);
    }
    /* One more trip to the driver hands over the verdicts of the last frames read. */
    PACKET_BUFFER *last = NULL;
    if (PacketRead(adapter, 0, &last) == PACKET_SUCCESS)
        PacketFree(adapter, last, 0);

    struct timespec ended;
    clock_gettime(CLOCK_MONOTONIC, &ended);
    double elapsed =
        (double)(ended.tv_sec - started.tv_sec) + (double)(ended.tv_nsec - started.tv_nsec) / 1e9;
    printf("minisensor: summary for %s\n", adapter->szDeviceName);
    printf("  frames    %lu (%lu bytes)\n", s.frames, s.bytes);
    printf("  rate      %.0f frames/s over %.1f s\n",
           elapsed > 0 ? (double)s.frames / elapsed : 0.0, elapsed);
    printf("  inbound   %lu\n  outbound  %lu\n", s.inbound, s.outbound);
    printf("  tcp %lu  udp %lu  icmp %lu  other %lu\n", s.tcp, s.udp, s.icmp, s.other);
    printf("  blocked   %lu (TCP port %u, answered with resets)\n", s.blocked, port);

    PacketClose(adapter);
    PacketTerminate();
    return 0;
}
