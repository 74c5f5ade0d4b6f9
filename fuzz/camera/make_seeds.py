#!/usr/bin/env python3
"""Writes the seed inputs of fuzz_camera_proto into seeds/fuzz_camera_proto/.

Input format of the target: reads, each a two-byte little-endian length and that many bytes."""
import os
import random
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
OUT = os.path.join(HERE, 'seeds', 'fuzz_camera_proto')


def pkt(cid, body, ab=True, extra=True):
    magic = b'\xaa\xbb' if ab else b'\xbb\xaa'
    return magic + bytes([cid]) + struct.pack('<H', len(body)) + (b'\x00' if extra else b'') + body


def chunk(fid, payload, flags=0, value=0, cid=7, ab=True):
    return pkt(cid, bytes([fid, 0, flags]) + struct.pack('<I', value) + payload, ab, extra=False)


def jpeg(n, seed):
    r = random.Random(seed)
    return b'\xff\xd8' + bytes(r.randrange(1, 256) for _ in range(n)) + b'\xff\xd9'


def reads(stream, sizes):
    out, pos, i = b'', 0, 0
    while pos < len(stream):
        part = stream[pos:pos + sizes[i % len(sizes)]]
        pos, i = pos + len(part), i + 1
        out += struct.pack('<H', len(part)) + part
    return out


def main():
    info = (bytes([1]) + b'Viscana'.ljust(16, b'\0') + b'Camera'.ljust(16, b'\0') + b'1.0'.ljust(16, b'\0')
            + bytes(25) + bytes([2, 0]) + struct.pack('<H', 1) + struct.pack('<8H', 1, 2, 0, 0, 0, 0, 0, 0)
            + struct.pack('<I', 0))
    assert len(info) == 98
    many_cams = info[:74] + bytes([12]) + info[75:]
    frames = b''.join(chunk(f, jpeg(300, f)[i:i + 120], 2 if (f == 2 and i == 0) else 0, f, 10 if i == 120 else 7)
                      for f in range(1, 5) for i in range(0, 304, 120))
    seeds = {
        'stream_4092': reads(pkt(6, b'\x00') + pkt(5, info) + frames, [4092]),
        'stream_small_reads': reads(pkt(6, b'\x00', ab=False) + frames + pkt(11, b'\x01\x02\x03'), [1, 7, 33, 500]),
        'info_97_and_many_cameras': reads(pkt(5, info[:97]) + pkt(5, many_cams), [4092]),
        'garbage_and_lone_aa': reads(b'\x11\xbb' + frames[:400] + b'\xaa', [403]) + reads(frames, [4092]),
        'zeros_after_end': reads(chunk(1, jpeg(50, 9) + bytes(40)) + chunk(2, b''), [4092]),
    }
    os.makedirs(OUT, exist_ok=True)
    for name in os.listdir(OUT):
        os.remove(os.path.join(OUT, name))
    for name, data in seeds.items():
        with open(os.path.join(OUT, name), 'wb') as f:
            f.write(data)


if __name__ == '__main__':
    main()
