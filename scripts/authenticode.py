#!/usr/bin/env python3
"""Reads a Windows executable the way its Authenticode signature sees it.

    scripts/authenticode.py digest EXE   the Authenticode SHA-256 of EXE's image
    scripts/authenticode.py show EXE     that digest, and what EXE's signature
                                         holds: the digest it signs, the signing
                                         time, the timestamp's time and authority
    scripts/authenticode.py resource EXE TYPE NAME
                                         the resource NAME (a number or a
                                         string) of TYPE (a number: 10 for
                                         RT_RCDATA), to standard output

The digest is the image hash a signature signs: SHA-256 over the whole file
but the checksum, the certificate table's directory entry and the certificate
table itself, zero-padded to a multiple of 8 bytes as signing pads the file.
So an unsigned build and the same build signed have the same digest.
Standard library only. Exit status 2 when EXE is not a PE file.
"""
import base64
import hashlib
import struct
import sys

RT_RCDATA = 10
OIDS = {'2.5.4.3': 'CN', '2.5.4.6': 'C', '2.5.4.7': 'L', '2.5.4.8': 'S', '2.5.4.10': 'O', '2.5.4.11': 'OU',
        '1.2.840.113549.1.9.1': 'E'}
SIGNING_TIME = '1.2.840.113549.1.9.5'
RFC3161_TIMESTAMP = '1.3.6.1.4.1.311.3.3.1'


class NotPE(Exception):
    pass


class Image:
    """The parts of a PE file that Authenticode and the resources need."""

    def __init__(self, data):
        self.data = data
        try:
            if data[:2] != b'MZ':
                raise NotPE('no MZ header')
            pe = struct.unpack_from('<I', data, 0x3C)[0]
            if data[pe:pe + 4] != b'PE\0\0':
                raise NotPE('no PE header')
            sections, optional_size = struct.unpack_from('<H12xH', data, pe + 6)
            opt = pe + 24
            magic = struct.unpack_from('<H', data, opt)[0]
            if magic not in (0x10B, 0x20B):
                raise NotPE(f'unknown optional header magic {magic:#x}')
            self.checksum_at = opt + 64
            directories = opt + (96 if magic == 0x10B else 112)
            self.cert_entry_at = directories + 4 * 8
            self.cert_at, self.cert_size = struct.unpack_from('<II', data, self.cert_entry_at)
            self.rsrc_rva = struct.unpack_from('<I', data, directories + 2 * 8)[0]
            table = opt + optional_size
            self.sections = [struct.unpack_from('<8xIIII', data, table + 40 * i) for i in range(sections)]
        except struct.error:
            raise NotPE('truncated headers') from None
        if self.cert_at and self.cert_at + self.cert_size > len(data):
            raise NotPE('the certificate table lies past the end of the file')

    def digest(self):
        d, end = self.data, self.cert_at or len(self.data)
        h = hashlib.sha256(d[:self.checksum_at])
        h.update(d[self.checksum_at + 4:self.cert_entry_at])
        h.update(d[self.cert_entry_at + 8:end])
        h.update(b'\0' * (-end % 8))
        return h.hexdigest()

    def signature(self):
        """The PKCS#7 SignedData of the first certificate table entry, or None."""
        if not self.cert_at:
            return None
        length = struct.unpack_from('<I', self.data, self.cert_at)[0]
        return self.data[self.cert_at + 8:self.cert_at + length]

    def at(self, rva):
        for virtual_size, address, raw_size, raw_at in self.sections:
            if address <= rva < address + max(virtual_size, raw_size):
                return raw_at + rva - address
        raise NotPE(f'RVA {rva:#x} is in no section')

    def resource(self, type_id, name):
        """The data of resource NAME of type TYPE_ID (its first language), or None."""
        if not self.rsrc_rva:
            return None
        base = self.at(self.rsrc_rva)

        def entries(directory):
            named, ids = struct.unpack_from('<12xHH', self.data, base + directory)
            for i in range(named + ids):
                key, target = struct.unpack_from('<II', self.data, base + directory + 16 + 8 * i)
                if key & 0x80000000:
                    length = struct.unpack_from('<H', self.data, base + (key & 0x7FFFFFFF))[0]
                    at = base + (key & 0x7FFFFFFF) + 2
                    key = self.data[at:at + 2 * length].decode('utf-16-le')
                yield key, target

        def find(directory, key):
            return next((target & 0x7FFFFFFF for k, target in entries(directory) if k == key), None)

        by_name = find(0, type_id)
        language = by_name is not None and find(by_name, name)
        if not language:
            return None
        rva, size = struct.unpack_from('<II', self.data, base + next(entries(language))[1])
        return self.data[self.at(rva):self.at(rva) + size]


# DER, as far as a signature needs reading: an element is (tag, start, start of content, end).
def tlv(der, at):
    tag, length, start = der[at], der[at + 1], at + 2
    if length & 0x80:
        count = length & 0x7F
        length, start = int.from_bytes(der[start:start + count], 'big'), start + count
    return tag, at, start, start + length


def kids(der, element):
    found, at = [], element[2]
    while at < element[3]:
        found.append(tlv(der, at))
        at = found[-1][3]
    return found


def body(der, element):
    return der[element[2]:element[3]]


def whole(der, element):
    return der[element[1]:element[3]]


def oid(der, element):
    data = body(der, element)
    parts, value = [data[0] // 40, data[0] % 40], 0
    for byte in data[1:]:
        value = value << 7 | byte & 0x7F
        if not byte & 0x80:
            parts.append(value)
            value = 0
    return '.'.join(map(str, parts))


def name(der, element):
    """A distinguished name as Windows shows it: CN first."""
    parts = []
    for rdn in kids(der, element):
        for attribute in kids(der, rdn):
            kind, value = kids(der, attribute)
            parts.append(f'{OIDS.get(oid(der, kind), oid(der, kind))}={body(der, value).decode("utf-8", "replace")}')
    return ', '.join(reversed(parts))


def time_text(der, element):
    text = body(der, element).decode()
    if element[0] == 0x17:  # UTCTime: a two-digit year
        text = ('19' if text[:2] >= '50' else '20') + text
    return f'{text[:4]}-{text[4:6]}-{text[6:8]} {text[8:10]}:{text[10:12]}:{text[12:14]} UTC'


class SignedData:
    """A PKCS#7 SignedData: its content, certificates and first signer."""

    def __init__(self, der):
        self.der = der
        signed = kids(der, kids(der, kids(der, tlv(der, 0))[1])[0])
        self.content = kids(der, kids(der, signed[2])[1])[0]  # inside the [0] EXPLICIT
        self.certificates = [whole(der, c) for c in kids(der, signed[3])] if signed[3][0] == 0xA0 else []
        signer = kids(der, kids(der, signed[-1])[0])
        serial_wanted = body(der, kids(der, signer[1])[1])
        self.attributes = {}
        for group in signer[3:]:
            if group[0] in (0xA0, 0xA1):  # the authenticated and unauthenticated attributes
                for attribute in kids(der, group):
                    kind, values = kids(der, attribute)
                    self.attributes[oid(der, kind)] = kids(der, values)[0]
        self.encrypted_digest = body(der, [e for e in signer if e[0] == 0x04][-1])
        self.signer, self.signer_lines = None, []
        for cert in kids(der, signed[3]) if self.certificates else []:
            fields = kids(der, kids(der, cert)[0])
            serial, _, issuer, validity, subject = fields[1:6] if fields[0][0] == 0xA0 else fields[:5]
            if body(der, serial) == serial_wanted:
                self.signer = whole(der, cert)
                self.signer_lines = [
                    ('signer', name(der, subject)), ('signer issuer', name(der, issuer)),
                    ('signer cert SHA-256', hashlib.sha256(self.signer).hexdigest()),
                    ('signer cert valid', ' to '.join(time_text(der, t) for t in kids(der, validity)))]

    def inner(self):
        """The signed content's own bytes: what the signature's message digest covers."""
        return body(self.der, self.content)

    def timestamp(self):
        """The RFC 3161 timestamp token's SignedData, or None."""
        token = self.attributes.get(RFC3161_TIMESTAMP)
        return token and SignedData(whole(self.der, token))


def pem(der):
    return '-----BEGIN CERTIFICATE-----\n' + base64.encodebytes(der).decode() + '-----END CERTIFICATE-----\n'


def show(image):
    """What the release record and its checks read from an EXE, as (name, value)."""
    lines = [('Authenticode digest', image.digest())]
    der = image.signature()
    if der is None:
        return lines + [('signature', 'none')]
    signed = SignedData(der)
    digest_info = kids(der, signed.content)[1]
    lines.append(('signed digest', body(der, kids(der, digest_info)[1]).hex()))
    lines += signed.signer_lines
    if SIGNING_TIME in signed.attributes:
        lines.append(('signing time', time_text(der, signed.attributes[SIGNING_TIME])))
    token = signed.timestamp()
    if token:
        tst = tlv(token.der, token.content[2])  # the TSTInfo inside its OCTET STRING
        lines.append(('timestamp time', time_text(token.der, kids(token.der, tst)[4])))
        lines.append(('timestamp authority', dict(token.signer_lines).get('signer', 'unknown')))
    return lines


def main(argv):
    if (argv[1:2], len(argv)) not in ((['digest'], 3), (['show'], 3), (['resource'], 5)) or \
            (argv[1] == 'resource' and not argv[3].isdigit()):
        print(__doc__, file=sys.stderr)
        return 2
    try:
        with open(argv[2], 'rb') as f:
            image = Image(f.read())
        if argv[1] == 'digest':
            print(image.digest())
        elif argv[1] == 'show':
            for key, value in show(image):
                print(f'{key}: {value}')
        else:
            data = image.resource(int(argv[3]), int(argv[4]) if argv[4].isdigit() else argv[4])
            if data is None:
                raise NotPE(f'no resource {argv[4]} of type {argv[3]}')
            sys.stdout.buffer.write(data)
    except (OSError, NotPE) as error:
        print(f'authenticode: {argv[2]}: {error}', file=sys.stderr)
        return 2
    except (IndexError, ValueError):
        print(f'authenticode: {argv[2]}: its signature cannot be read', file=sys.stderr)
        return 2
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv))
