// Every key name the bridge accepts in a `key` action, spelt as the web platform's
// KeyboardEvent.code spells them. A name the bridge does not know is dropped without a word, so
// the client checks names before it sends them.

type Letter =
  | "A" | "B" | "C" | "D" | "E" | "F" | "G" | "H" | "I" | "J" | "K" | "L" | "M"
  | "N" | "O" | "P" | "Q" | "R" | "S" | "T" | "U" | "V" | "W" | "X" | "Y" | "Z";
type Digit = "0" | "1" | "2" | "3" | "4" | "5" | "6" | "7" | "8" | "9";
type FunctionNumber = "1" | "2" | "3" | "4" | "5" | "6" | "7" | "8" | "9" | "10" | "11" | "12";

/** A key name the bridge knows. */
export type KeyName =
  | `Key${Letter}`
  | `Digit${Digit}`
  | `F${FunctionNumber}`
  | `Numpad${Digit}`
  | "Space" | "Enter" | "Escape" | "Tab" | "Backspace"
  | "ArrowLeft" | "ArrowRight" | "ArrowUp" | "ArrowDown"
  | "Shift" | "Control" | "Alt" | "Meta"
  | "MediaPlayPause" | "MediaNext" | "MediaPrevious"
  | "VolumeUp" | "VolumeDown" | "VolumeMute"
  | "Delete" | "Insert" | "Home" | "End" | "PageUp" | "PageDown"
  | "CapsLock" | "NumLock" | "ScrollLock" | "PrintScreen" | "Pause" | "ContextMenu"
  | "ShiftLeft" | "ShiftRight" | "ControlLeft" | "ControlRight"
  | "AltLeft" | "AltRight" | "MetaLeft" | "MetaRight"
  | "NumpadAdd" | "NumpadSubtract" | "NumpadMultiply" | "NumpadDivide"
  | "NumpadDecimal" | "NumpadEnter"
  | "Minus" | "Equal" | "BracketLeft" | "BracketRight" | "Backslash"
  | "Semicolon" | "Quote" | "Backquote" | "Comma" | "Period" | "Slash";

const letters = "ABCDEFGHIJKLMNOPQRSTUVWXYZ".split("");
const digits = "0123456789".split("");
const functionNumbers = Array.from({ length: 12 }, (_, i) => String(i + 1));

/** The same names as a list, for checks at run time and for listings. */
export const keyNames: readonly KeyName[] = Object.freeze([
  "Space", "Enter", "Escape", "Tab", "Backspace",
  "ArrowLeft", "ArrowRight", "ArrowUp", "ArrowDown",
  "Shift", "Control", "Alt", "Meta",
  "MediaPlayPause", "MediaNext", "MediaPrevious",
  "VolumeUp", "VolumeDown", "VolumeMute",
  ...letters.map((letter) => `Key${letter}`),
  ...digits.map((digit) => `Digit${digit}`),
  ...functionNumbers.map((n) => `F${n}`),
  "Delete", "Insert", "Home", "End", "PageUp", "PageDown",
  "CapsLock", "NumLock", "ScrollLock", "PrintScreen", "Pause", "ContextMenu",
  "ShiftLeft", "ShiftRight", "ControlLeft", "ControlRight",
  "AltLeft", "AltRight", "MetaLeft", "MetaRight",
  ...digits.map((digit) => `Numpad${digit}`),
  "NumpadAdd", "NumpadSubtract", "NumpadMultiply", "NumpadDivide",
  "NumpadDecimal", "NumpadEnter",
  "Minus", "Equal", "BracketLeft", "BracketRight", "Backslash",
  "Semicolon", "Quote", "Backquote", "Comma", "Period", "Slash",
] as KeyName[]);

const knownKeys = new Set<string>(keyNames);

/** Whether the bridge knows this key name (exact, case-sensitive). */
export function isKeyName(name: unknown): name is KeyName {
  return typeof name === "string" && knownKeys.has(name);
}
