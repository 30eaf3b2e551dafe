#!/usr/bin/env python3
import struct,sys
# Points every directory record of the named folders, in every root directory (ISO 9660 and
# Joliet), at that root directory itself.
path, names = sys.argv[1], sys.argv[2:]
data = bytearray(open(path, 'rb').read())
for vd in range(16, 32):
    b = vd * 2048
    if data[b + 1:b + 6] != b'CD001' or data[b] not in (1, 2):
        continue
    root = struct.unpack_from('<I', data, b + 156 + 2)[0]
    size = struct.unpack_from('<I', data, b + 156 + 10)[0]
    pos, end = root * 2048, root * 2048 + size
    while pos < end:
        n = data[pos]
        if n == 0:
            pos = (pos // 2048 + 1) * 2048
            continue
        ident = bytes(data[pos + 33:pos + 33 + data[pos + 32]])
        for name in names:
            if ident in (name.encode(), name.encode('utf-16-be')):
                struct.pack_into('<I', data, pos + 2, root)
                struct.pack_into('>I', data, pos + 6, root)
        pos += n
open(path, 'wb').write(data)
