// The native host that carries the Firefox test's commands to its add-on:
// frames from Firefox go to the test's socket as lines of JSON, and the
// test's lines come back as frames. Firefox's arguments are not needed.
import net from 'node:net';
import readline from 'node:readline';
import { frame, readFrames } from './frames.mjs';

const socket = net.connect(process.argv[2]);
socket.on('close', () => process.exit(0));

readFrames(process.stdin, (body) => socket.write(`${body}\n`));
process.stdin.on('end', () => socket.end());

readline.createInterface({ input: socket }).on('line', (line) => process.stdout.write(frame(line)));
