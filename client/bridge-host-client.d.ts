/** Data bytes of one output report; the host puts report id 1 before them. */
export const MAX_WRITE_BYTES: 64;
/** Milliseconds without a reply after which waiting writes are checked on with a "getDevices". */
export const PROBE_AFTER_MS: number;
/** Milliseconds between two looks for the device's coming and going, while a presence listener is registered. */
export const LOOK_EVERY_MS: number;

/**
 * What went wrong, to branch on:
 * - `invalid-data`: write() was given something other than at most 64 integers from 0 to 255; nothing was sent.
 * - `no-device`: write() while no device is open (call open() first); nothing was sent.
 * - `device-gone`: the device was unplugged or closed while the write waited; onDeviceGone fires as well.
 * - `open-failed`: the host could not open the device (absent, or no permission); the message is the host's.
 * - `write-failed`: the host could not write to a device that is still there; the message is the host's.
 * - `host-not-found`: no host of that name is installed for this browser (Firefox says so too when its
 *   manifest does not allow this extension).
 * - `host-forbidden`: the host's manifest does not allow this extension (Chromium).
 * - `host-ended`: the host ended or could not be started; the message is the browser's.
 * - `closed`: close() was called.
 */
export type BridgeHostErrorCode =
  | 'invalid-data'
  | 'no-device'
  | 'device-gone'
  | 'open-failed'
  | 'write-failed'
  | 'host-not-found'
  | 'host-forbidden'
  | 'host-ended'
  | 'closed';

export class BridgeHostError extends Error {
  constructor(code: BridgeHostErrorCode, message: string);
  readonly name: 'BridgeHostError';
  readonly code: BridgeHostErrorCode;
}

/**
 * One HID device as the host lists it; the ids are decimal text ("2765", "14368"). A name the device does not
 * have is null (the host sends "NULL"); one it has but cannot be converted is "INVALIDSTRING".
 */
export interface Device {
  manufacturerName: string | null;
  productId: string;
  productName: string | null;
  vendorId: string;
}

/** The host's answer to a successful open(). */
export interface OpenResponse {
  success: 'Device Open';
  vendorId: string;
  productId: string;
}

/** What the client needs of a port: `chrome.runtime.Port`, Firefox's `browser.runtime.Port`, or a stand-in of one. */
export interface NativePort {
  postMessage(message: object): void;
  disconnect(): void;
  onMessage: { addListener(listener: (message: any) => void): void };
  /**
   * The listener gets the port that ended: Firefox sets its `error`, Chromium leaves the reason in
   * `runtime.lastError`.
   */
  onDisconnect: { addListener(listener: (port: { name: string; error?: { message?: string } | null }) => void): void };
}

export interface ConnectOptions {
  /** The host's name in its manifest; `bridge_host` unless it was installed under another. */
  name?: string;
  /** A port already connected, in place of `runtime.connectNative(name)`. */
  port?: NativePort;
  /** Overrides PROBE_AFTER_MS. */
  probeAfterMs?: number;
  /** Overrides LOOK_EVERY_MS. */
  lookEveryMs?: number;
}

/** Removes the listener it was returned for. */
export type Unsubscribe = () => void;

export interface BridgeHost {
  /** Every HID device present, the served one among them; [] when there is none. */
  getDevices(): Promise<Device[]>;
  /** Opens the served device (vendor 0x0acd, product 0x3820); fails with `open-failed`. */
  open(): Promise<OpenResponse>;
  /**
   * Sends one output report: report id 1, then these bytes, zero-filled to 64. Resolves when the host has
   * written it; fails with `invalid-data`, `no-device`, `device-gone` or `write-failed`.
   */
  write(bytes: readonly number[] | Uint8Array): Promise<void>;
  /** Each input report, exactly the bytes the device sent (report id first). */
  onReport(listener: (report: Uint8Array) => void): Unsubscribe;
  /**
   * The served device is listed while none is open: soon after connecting, and again after it was gone. Open it
   * here to keep it open across replugs. While a presence listener is registered the client looks every
   * LOOK_EVERY_MS while idle: one "getDevices", with a "write" without data before it while the device is open.
   */
  onDeviceArrived(listener: () => void): Unsubscribe;
  /** The open device went (told while idle too, with a presence listener registered); open() again once it is back. */
  onDeviceGone(listener: () => void): Unsubscribe;
  /** The connection ended, once; every call still waiting has failed with the same error. */
  onClose(listener: (error: BridgeHostError) => void): Unsubscribe;
  /** Ends the connection and the host; calls still waiting fail with `closed`. */
  close(): void;
}

/** Starts the host (`runtime.connectNative`) and returns its calls. Every promise it gives settles. */
export function connectHost(options?: ConnectOptions): BridgeHost;
