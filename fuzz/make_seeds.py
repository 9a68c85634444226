#!/usr/bin/env python3
"""Writes the seed corpus of every fuzz target (fuzz/corpus/<target>/)."""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def area(args):
    """Argument area: 32-byte descriptors, then strings; args are (type, value)."""
    descs, data = b"", b""
    base = 32 * len(args)
    for t, v in args:
        if t == 6 and v is None:
            descs += struct.pack("<IIQI12x", 6, 0, 0, 0)
        elif t == 6:
            text = v.encode() + b"\0"
            descs += struct.pack("<IIQI12x", 6, 0, base + len(data), len(text))
            data += text
        else:
            descs += struct.pack("<IIQI12x", t, 0, v & 0xFFFFFFFFFFFFFFFF, 0)
    return descs + data


def record(wid, args=(), fmt=None, ts=1733400000000000):
    idb = wid.encode() + b"\0"
    fmtb = (fmt.encode() + b"\0") if fmt is not None else b""
    a = area(args)
    total = 32 + len(idb) + len(fmtb) + len(a)
    return struct.pack("<QQIIII", 0, ts, total, len(args), len(idb), len(fmtb)) + idb + fmtb + a


def flare(eid, args=()):
    idb = eid.encode() + b"\0"
    a = area(args)
    total = 72 + len(idb) + len(a)
    head = struct.pack("<QQ", 1733400000000000, 7) + b"4c4c4544-0042-3510-8052-b4c04f4e4d32\0\0" + b"\0\0"
    return head + struct.pack("<III", total, len(args), len(idb)) + idb + a + b"\0" * 4


def write(target, name, data):
    d = os.path.join(HERE, "corpus", target)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, name), "wb") as f:
        f.write(data)


apd = record("wisp.storage.apd.timeout", [(6, "naa.1"), (1, 140)], "APD %s after %d s")
net = record("wisp.net.pg.uplink.transition.down", [(6, "pnic1"), (6, "frontend"), (1, 0), (1, 0)])
write("fuzz_batch", "three", apd + net + record("wisp.user.x", [(6, None), (4, 2**63)]))
write("fuzz_batch", "truncated", apd + net[:40])
write("fuzz_batch", "unknown-type", record("wisp.cpu.x", [(5, 1)]))
write("fuzz_batch", "short-length", bytes.fromhex("000000000000000000000000000000002c0000000000000007000000000000007769"))

uuid = [(6, "vol")] + [(3, 0x5F1A2B3C), (3, 0x01020304), (3, 0xBEEF)] + [(1, i) for i in range(6)]
write("fuzz_args", "uuid", b"%p%08x-%08x-%04hx-%02hhx%02hhx%02hhx%02hhx%02hhx%02hhx\0" + record("wisp.cairn.x", uuid))
write("fuzz_args", "mixed", b"%p %d %x %ld %lu %hd %hhx\0" + record("wisp.a", [(6, "dev"), (1, -7), (3, 5), (2, -9), (4, 9), (1, -2), (1, 511)]))
write("fuzz_args", "mismatch", b"%d %p %f\0" + record("wisp.a", [(6, "s")]))

write("fuzz_format", "plain", b"%s has %d%%\0" + area([(6, "disk"), (1, 50)]))
write("fuzz_format", "hostile", b"%n%*d|%99999d|%s|%d %\0" + area([(1, 1), (6, None)]))
write("fuzz_format", "widths", b"%5.2s|%-4d|%04x|%hhd|%lu|%c|%p\0" + area([(6, "abcdef"), (1, 7), (3, 255), (1, 300), (4, 1), (1, 65), (4, 16)]))

write("fuzz_trace", "quote", b"wisp.x\0\x03" + area([(6, 'a"b'), (1, -1), (6, None)]))
write("fuzz_trace", "types", b"wisp.y\0\x05" + area([(2, -5), (3, 7), (4, 8), (5, 0), (6, "")]))

write("fuzz_hubd", "apd", flare("tarn.problem.storage.apd.timeout", [(6, "naa.1"), (1, 140)]))
write("fuzz_hubd", "noargs", flare("tarn.audit.net.firewall.disabled"))
write("fuzz_hubd", "truncated", flare("tarn.clear.storage.apd.exit", [(6, "naa.1")])[:80])

with open(os.path.join(HERE, "..", "examples", "simhost.json"), "rb") as f:
    write("fuzz_hostmodel", "example", f.read())
write("fuzz_hostmodel", "empty-object", b"{}")
write("fuzz_hostmodel", "wrong-types", b'{"kernel": 5, "system": {"uuid": 7}, "port_groups": {"frontend": []}, '
                                       b'"storage": {"luns": {"naa.600508b1001c2d3e": {"disk": true, "partitions": ["x", 999]}}}}')
write("fuzz_hostmodel", "truncated", b'{"advanced_options": {"Net": ')
write("fuzz_hostmodel", "storage", b'{"storage": {"luns": {"naa.600508b1001c2d3e": {"disk": true, "redundancy": 2, '
      b'"partitions": [1, 2, 0, 300, "x"], "datastores": {"1": "ds-a", "2": 7, "0": "ds-z"}}}, '
      b'"paths": {"hba1:C0:T0:L0": {"device": "naa.600508b1001c2d3e"}}}, '
      b'"file_systems": [{"volume": "ds-main"}, 3, {"uuid": "u"}]}')
write("fuzz_hostmodel", "bad-redundancy", b'{"storage": {"luns": {"naa.600508b1001c2d3e": {"disk": true, "redundancy": 4}}}}')
write("fuzz_hostmodel", "failing-volume-request", b'{"storage": {"luns": {"naa.600508b1001c2d3e": {"disk": true, '
      b'"partitions": [1], "datastores": {"1": "ds-a"}}}}, "fail": {"Volumes_Request": 5, "GetPath": "gone"}}')

write("fuzz_args", "msg-swap", b"System swap at path %s was affected by the Permanent Device Loss of its datastore and was removed.\0"
      + record("wisp.swap.systemSwap.isPDL.removed", [(6, "/cairn/volumes/ds-a/sys.swp")]))
write("fuzz_args", "msg-widths", b"%5.2s took %#lx, %-08u of %X, 100%%\0" + record("wisp.vm.x", [(6, "web.cfg"), (4, 0x1234), (3, 9), (3, 255)]))
write("fuzz_args", "msg-untranslatable", b"%s at %f %\0" + record("wisp.vm.x", [(6, "web.cfg")]))
write("fuzz_args", "msg-long", b"%d" * 600 + b"\0" + record("wisp.vm.x", [(1, 1)]))


def mce(status, cpu, address, count, extra=()):
    """A corrected machine-check log: eight unsigned 64-bit arguments."""
    return record("wisp.cpu.mce.log4", [(4, 0), (4, status), (4, 0), (4, 0), (4, cpu), (4, address), (4, 0), (4, count)] + list(extra))


def mce_args(status, cpu, address, count):
    return struct.pack("<8Q", 0, status, 0, 0, cpu, address, 0, count)


write("fuzz_mce", "core-local", mce((1 << 58) | 0x0134, 3, 0x1234000, 1))
write("fuzz_mce", "overflow-level2", mce((1 << 62) | (1 << 58) | 0x0136, 1, 0x5000, 255))
write("fuzz_mce", "page-zero", mce((1 << 58) | 0x000c, 0, 0, 2**64 - 1))
write("fuzz_mce", "string-arg", record("wisp.cpu.mce.log4", [(6, "pnic0")] * 8))
write("fuzz_mce", "args-tlb", mce_args((1 << 58) | 0x0010, 2**64 - 1, 2**64 - 1, 200))
write("fuzz_mce", "args-short", mce_args(0x0100, 5, 0x9000, 1)[:47])


def corrupt_window():
    """The corrupt records the self-test's producer sends between its markers."""
    good = record("wisp.tests.corrupt.window", [(6, "pnic0"), (1, 7)], "%s %d")
    id_len = len("wisp.tests.corrupt.window") + 1
    area_at = 32 + id_len + len("%s %d") + 1

    def patch(at, value):
        return good[:at] + struct.pack("<I", value) + good[at + 4:]

    yield "length-long", patch(16, len(good) + 64)
    yield "length-short", patch(16, 20)
    yield "count-huge", patch(20, 0xFFFFFFFF)
    yield "id-none", patch(24, 0)
    yield "id-past-end", patch(24, 0x7FFFFFFF)
    yield "fmt-past-end", patch(28, 0x7FFFFFFF)
    yield "id-unterminated", good[:32 + id_len - 1] + b"x" + good[32 + id_len:]
    yield "desc-type", patch(area_at, 99)
    yield "desc-offset", patch(area_at + 8, 0x7FFFFFF0)
    yield "desc-strlen", patch(area_at + 16, 0x7FFFFFF0)
    yield "half", good[:len(good) // 2]


for name, data in corrupt_window():
    write("fuzz_batch", "testworld-" + name, data)

# The kernel's text as the Linux source reads it.
write("fuzz_kernel_text", "kmsg-reset",
      b"4,812,98765,-;sd 2:0:0:1: Power-on or device reset occurred\n SUBSYSTEM=scsi\n DEVICE=+scsi:2:0:0:1\n")
write("fuzz_kernel_text", "kmsg-offline", b"6,13,5,-;sd 3:0:0:1: Device offlined - not ready after error recovery\n")
write("fuzz_kernel_text", "kmsg-io-error",
      b"3,344,169066070,-;critical space allocation error, dev loop0, sector 4096 op 0x1:(WRITE) flags 0x8800\n")
write("fuzz_kernel_text", "kmsg-queue-timeout",
      b"4,1812,97231044,-;device-mapper: multipath: queue_if_no_path timeout on 253:0, failing queued IO\n")
write("fuzz_kernel_text", "kmsg-attached", b"5,20,7,-;sd 2:0:0:1: [sdb] Attached SCSI disk\n")
write("fuzz_kernel_text", "uevent-path-failed",
      b"change@/devices/virtual/block/dm-0\0ACTION=change\0SUBSYSTEM=block\0DM_TARGET=multipath\0"
      b"DM_ACTION=PATH_FAILED\0DM_PATH=8:32\0DM_NR_VALID_PATHS=0\0DM_NAME=mpatha\0")
write("fuzz_kernel_text", "uevent-path-reinstated",
      b"change@/devices/virtual/block/dm-0\0DM_TARGET=multipath\0DM_ACTION=PATH_REINSTATED\0"
      b"DM_PATH=8:16\0DM_NR_VALID_PATHS=1\0DM_NAME=mpatha\0")
write("fuzz_kernel_text", "trace-mc-event",
      b"kworker/1:2-118 [001] d..1. 5000.1: mc_event: 3 Corrected error: memory read error on DIMM_A1 "
      b"(mc:0 location:0:0:-1 address:0x12345040 grain:32 syndrome:0x0)")
write("fuzz_kernel_text", "trace-mce-record",
      b"<idle>-0 [002] 5005.1: mce_record: CPU: 2, MCGc/s: 1c09/0, MC8: 8c00004000010090, "
      b"ADDR/MISC/SYND: 0000000056789000/0000000000000086/0")
write("fuzz_kernel_text", "inventory",
      b'{"disks": {"mpatha": {"dev": "253:0", "paths": ["sdb"], "partitions": {"p1": {"number": 1, '
      b'"dev": "253:1"}}}, "sdb": {"dev": "8:16", "scsi": "2:0:0:1"}}, "mounts": {"253:1": "/srv"}}')
