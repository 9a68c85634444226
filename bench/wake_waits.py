#!/usr/bin/env python3
"""Where a woken thread waits before it runs, from a scheduler record.

Record the latency bench with the scheduler's wake-up and switch events:

    perf record -a -e sched:sched_waking,sched:sched_wakeup,sched:sched_switch \\
        -o sched.data -- build/bin/latency_bench
    perf script -i sched.data -F comm,tid,cpu,time,event,trace > sched.txt
    bench/wake_waits.py sched.txt --thread APD --labels alone,10,35,70

For each thread whose name starts with --thread (one per daemon the bench
started, in order) it prints the wake-ups' time from "waking" to running,
and for the waits longer than --over microseconds, what ran meanwhile on
the CPU the thread then ran on, and on the other CPUs, as shares of the
waits' time.
"""
import argparse
import bisect
import collections
import re
import sys

EVENT = re.compile(r'\s*(.+?)\s+(\d+)\s+\[(\d+)\]\s+([\d.]+):\s+sched:(\w+):\s*(.*)$')
FIELD = re.compile(r'(\w+)=(\S+)')


def kind(comm):
    if comm == 'idle':
        return 'idle'
    if comm == 'wispd':
        return 'dispatcher'
    if 'Corre' in comm:
        return 'correlators'
    if comm.startswith('wispd') or comm == 'log-sender':
        return "the daemon's other threads"
    if comm == 'hubd':
        return 'hubd'
    if comm.startswith('latency'):
        return 'bench'
    if comm.startswith('perf'):
        return 'perf'
    return 'other processes'


def read(lines, prefix):
    running = {}  # cpu: (pid, comm, since)
    runs = collections.defaultdict(list)  # cpu: (end, start, comm), in time order
    woken = {}  # pid: [waking time, enqueued after]
    # pid, in the order of first wake-ups: (wait, start, end, cpu, enqueue)
    waits = collections.defaultdict(list)
    for line in lines:
        m = EVENT.match(line)
        if not m:
            continue
        cpu, t, event, rest = int(m.group(3)), float(m.group(4)), m.group(5), m.group(6)
        if event == 'sched_switch':
            _, _, nxt = rest.partition(' ==> ')
            f = dict(FIELD.findall(nxt))
            pid, comm = int(f.get('next_pid', -1)), f.get('next_comm', '')
            before = running.get(cpu)
            if before is not None:
                runs[cpu].append((t, before[2], before[1] if before[0] else 'idle'))
            running[cpu] = (pid, comm, t)
            w = woken.pop(pid, None)
            if w is not None and comm.startswith(prefix):
                waits[pid].append((t - w[0], w[0], t, cpu, w[1]))
        elif event in ('sched_waking', 'sched_wakeup'):
            f = dict(FIELD.findall(rest))
            pid = int(f.get('pid', -1))
            if event == 'sched_waking':
                woken[pid] = [t, 0.0]
            elif pid in woken:
                woken[pid][1] = t - woken[pid][0]
    return runs, waits


def main():
    p = argparse.ArgumentParser(description=__doc__.split('\n')[0])
    p.add_argument('file')
    p.add_argument('--thread', default='APD', help='name prefix of the thread to follow')
    p.add_argument('--over', type=float, default=150, help='a slow wait, in microseconds')
    p.add_argument('--labels', default='', help='comma-separated, one per thread in order')
    a = p.parse_args()
    with open(a.file, errors='replace') as f:
        runs, waits = read(f, a.thread)
    if not waits:
        sys.exit('no wake-up of a thread named %s* in %s' % (a.thread, a.file))
    labels = a.labels.split(',') if a.labels else []
    for i, (pid, w) in enumerate(waits.items()):
        ws = sorted(x[0] for x in w)
        slow = [x for x in w if x[0] > a.over * 1e-6]
        own, other = collections.Counter(), collections.Counter()
        total = sum(x[0] for x in slow)
        for _, start, end, cpu, _ in slow:
            for c, on in runs.items():
                # A CPU's runs follow each other: the first that ends after
                # the wait began, then on until one starts after it ended.
                for e, s, comm in on[bisect.bisect_right(on, (start,)):]:
                    if s >= end:
                        break
                    (own if c == cpu else other)[kind(comm)] += min(e, end) - max(s, start)
        name = labels[i] if i < len(labels) else str(pid)
        print('%s: %d wake-ups, waking to running p50 %.0f us, p99 %.0f us; '
              '%d waits over %.0f us (%.0f us in all), waking to queued at most %.0f us'
              % (name, len(ws), ws[len(ws) // 2] * 1e6, ws[int(len(ws) * 0.99)] * 1e6, len(slow),
                 a.over, total * 1e6, max([x[4] for x in slow] + [0]) * 1e6))
        for title, share in (('its CPU', own), ('other CPUs', other)):
            if total > 0:
                print('   %s: %s' % (title, ', '.join('%s %.0f%%' % (k, 100 * v / total)
                                                    for k, v in share.most_common())))


if __name__ == '__main__':
    main()
