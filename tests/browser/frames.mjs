// Native messaging's frames, for the test's own ends of a host's pipes: a
// 4-byte length in the machine's byte order (little-endian here), then the
// UTF-8 JSON text.
const LENGTH_BYTES = 4;

export function frame(text) {
  const body = Buffer.from(text);
  const length = Buffer.alloc(LENGTH_BYTES);
  length.writeUInt32LE(body.length);
  return Buffer.concat([length, body]);
}

// Calls onBody with each whole frame's text as it arrives on the stream.
export function readFrames(stream, onBody) {
  let pending = Buffer.alloc(0);
  stream.on('data', (chunk) => {
    pending = Buffer.concat([pending, chunk]);
    while (pending.length >= LENGTH_BYTES && pending.length >= LENGTH_BYTES + pending.readUInt32LE(0)) {
      const end = LENGTH_BYTES + pending.readUInt32LE(0);
      const body = pending.subarray(LENGTH_BYTES, end).toString();
      pending = pending.subarray(end);
      onBody(body);
    }
  });
}
