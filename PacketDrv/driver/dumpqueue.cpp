/*
 * dumpqueue: a STREAMS queue on the console, with the names of its flag bits.
 *
 * Context: any. The fields are read without the queue's lock (a debugging view that may show a
 * queue changing meanwhile); the message count comes from qsize.
 */
#include "dumpqueue.h"

#include "debug.h" /* before sys/cmn_err.h, whose printf macro renames printf */
#include <string.h>
#include <sys/cmn_err.h>

static inline unsigned x32(const void *p)
{
    return static_cast<unsigned>(reinterpret_cast<uintptr_t>(p));
}

static void append(char *buf, size_t cap, const char *text)
{
    size_t len = strlen(buf);
    while (*text != '\0' && len + 1 < cap)
        buf[len++] = *text++;
    buf[len] = '\0';
}

static const char *queue_flag_name(U32 bit)
{
    switch (bit) {
    case QENAB:
        return "QENAB";
    case QWANTR:
        return "QWANTR";
    case QWANTW:
        return "QWANTW";
    case QFULL:
        return "QFULL";
    case QREADR:
        return "QREADR";
    case QUSE:
        return "QUSE";
    case QNOENB:
        return "QNOENB";
    case QBACK:
        return "QBACK";
    case QHLIST:
        return "QHLIST";
    case QPAIR:
        return "QPAIR";
    case QPERQ:
        return "QPERQ";
    case QPERMOD:
        return "QPERMOD";
    case QMTSAFE:
        return "QMTSAFE";
    case QMTOUTPERIM:
        return "QMTOUTPERIM";
    case QINSERVICE:
        return "QINSERVICE";
    case QWCLOSE:
        return "QWCLOSE";
    case QEND:
        return "QEND";
    case QWANTWSYNC:
        return "QWANTWSYNC";
    case QSYNCSTR:
        return "QSYNCSTR";
    case QISDRV:
        return "QISDRV";
    case 0x1000000:
        return "_QNEXTLESS";
    case 0x4000000:
        return "_QINSERTING";
    case 0x8000000:
        return "_QREMOVING";
    default:
        return "";
    }
}

char *GetQueueFlagsStr(U32 flags, char *szBuffer, U32 ulLength)
{
    if (szBuffer == nullptr || ulLength == 0)
        return szBuffer;
    szBuffer[0] = '\0';
    bool started = false;
    for (unsigned i = 0; i < 32; i++) {
        const U32 bit = 1u << i;
        if ((flags & bit) == 0)
            continue;
        if (started)
            append(szBuffer, ulLength, "|");
        const char *name = queue_flag_name(bit);
        append(szBuffer, ulLength, name);
        if (name[0] != '\0')
            started = true;
    }
    return szBuffer;
}

static void dump_one_queue(queue_t *q)
{
    char flagText[256];
    printf("QUEUE(%x): %s\n", x32(q), (q->q_flag & QREADR) != 0 ? "reader" : "writer");
    printf("\tq_qinfo=%x:\n", x32(q->q_qinfo));
    printf("\tq_first=%x q_last=%x q_next=%x q_link=%x\n", x32(q->q_first), x32(q->q_last),
           x32(q->q_next), x32(q->q_link));
    printf("\tq_ptr=%x q_count=%x q_minpsz=%d q_maxpsz=%d\n", x32(q->q_ptr),
           static_cast<unsigned>(q->q_count), static_cast<int>(q->q_minpsz),
           static_cast<int>(q->q_maxpsz));
    printf("\tq_hiwat=%d q_lowat=%d size=%d\n", static_cast<int>(q->q_hiwat),
           static_cast<int>(q->q_lowat), qsize(q));
    printf("\tq_flag(%x): %s\n", static_cast<unsigned>(q->q_flag),
           GetQueueFlagsStr(q->q_flag, flagText, sizeof(flagText)));
    printf("\tq_bandp=%x q_nband=%d\n", x32(q->q_bandp), static_cast<int>(q->q_nband));
}

void dumpqueue(queue_t *q, int dumpotherq)
{
    if (q == nullptr)
        return;
    dump_one_queue(q);
    if (dumpotherq != 0)
        dump_one_queue(OTHERQ(q));
}
