// The native host that carries the Firefox test's commands to its add-on:
// frames from Firefox go to the test's socket as lines of JSON, and the
// test's lines come back as frames. Firefox's arguments are not needed.
import net from 'node:net';
import readline from 'node:readline';

const LENGTH_BYTES = 4;   // a frame's length, in the machine's byte order (little-endian here)
const socket = net.connect(process.argv[2]);
socket.on('close', () => process.exit(0));

let pending = Buffer.alloc(0);
process.stdin.on('data', (chunk) => {
  pending = Buffer.concat([pending, chunk]);
  while (pending.length >= LENGTH_BYTES && pending.length >= LENGTH_BYTES + pending.readUInt32LE(0)) {
    const end = LENGTH_BYTES + pending.readUInt32LE(0);
    socket.write(`${pending.subarray(LENGTH_BYTES, end)}\n`);
    pending = pending.subarray(end);
  }
});
process.stdin.on('end', () => socket.end());

readline.createInterface({ input: socket }).on('line', (line) => {
  const body = Buffer.from(line);
  const length = Buffer.alloc(LENGTH_BYTES);
  length.writeUInt32LE(body.length);
  process.stdout.write(Buffer.concat([length, body]));
});
