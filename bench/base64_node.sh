#!/usr/bin/env bash
# Times Node.js's built-in Base64 decoder on the 1 MiB text that
# qovautils_bench decodes, then our decoder's paths and memcpy of 1 MiB in
# the same script run, and prints one table of medians.  Not a test: run it
# by hand.
#
# Node is timed two ways, alternating: Buffer.from(text, 'base64url'), which
# allocates a new 1 MiB buffer per call and so also times the allocator and
# the garbage collector, and buf.write(text, 'base64url') into one buffer
# allocated beforehand, which times the decoder alone, as our benchmark does.
#
#   bench/base64_node.sh [BUILD_DIR] [REPETITIONS]
#
# BUILD_DIR (default build-rel) is configured as a Release build unless it
# exists already, and qovautils_bench is built there.  REPETITIONS (default
# 9, at least 7) applies to both sides.  Every figure counts decoded bytes
# and comes as wall-clock and as CPU-time throughput: on a machine shared
# with other work the two differ, so compare like with like.  Node's CPU
# time is its whole process's (its collector's threads included).
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir=${1:-build-rel}
reps=${2:-9}
node=/usr/bin/node  # the machine's Node.js 20, not Debian's older package

[[ $($node --version) == v20.* ]] || { echo "needs Node.js 20 at $node" >&2; exit 1; }
((reps >= 7)) || { echo "use at least 7 repetitions" >&2; exit 1; }

if [[ ! -f $build_dir/CMakeCache.txt ]]; then
  cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPWD_BUILD_TESTS=OFF >/dev/null
fi
grep -q '^CMAKE_BUILD_TYPE:STRING=Release$' "$build_dir/CMakeCache.txt" ||
  echo "warning: $build_dir is not a Release build" >&2
cmake --build "$build_dir" -j2 --target qovautils_bench >/dev/null
bench="$build_dir/bench/qovautils_bench"

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
"$bench" --write-base64-text="$scratch/text"

# Node first: each repetition times as many decodes as fill about 0.3 s.
$node - "$scratch/text" "$reps" >"$scratch/node.json" <<'JS'
const fs = require('fs');
const [file, reps] = [process.argv[2], Number(process.argv[3])];
const text = fs.readFileSync(file, 'latin1');
const out = Buffer.alloc(1048576);
if (out.write(text, 'base64url') !== out.length ||
    !out.equals(Buffer.from(text, 'base64url')) ||
    out.toString('base64url') !== text.replace(/=+$/, '')) {
  throw new Error('Node decoded the text differently');
}
const ways = {
  'Buffer.from': () => Buffer.from(text, 'base64url').length,
  'buf.write': () => out.write(text, 'base64url'),
};
function batch(decode, count) {
  const wall0 = process.hrtime.bigint();
  const cpu0 = process.cpuUsage();
  let bytes = 0;
  for (let i = 0; i < count; ++i) bytes += decode();
  const cpu = process.cpuUsage(cpu0);
  const wall = Number(process.hrtime.bigint() - wall0) / 1e9;
  return {wall: bytes / wall, cpu: bytes / ((cpu.user + cpu.system) / 1e6), seconds: wall};
}
const counts = {};
const runs = {};
for (const [name, decode] of Object.entries(ways)) {
  counts[name] = 4;
  while (batch(decode, counts[name]).seconds < 0.3) counts[name] *= 2;  // also the warm-up
  runs[name] = [];
}
for (let r = 0; r < reps; ++r) {
  for (const [name, decode] of Object.entries(ways)) runs[name].push(batch(decode, counts[name]));
}
console.log(JSON.stringify({version: process.version, runs}));
JS

"$bench" --benchmark_filter='^BM_Memcpy/1048576$|^PlainDecode|^Base64Decode' \
  --benchmark_repetitions="$reps" --benchmark_out="$scratch/bench.json" \
  --benchmark_out_format=json >/dev/null 2>"$scratch/bench.err" || { cat "$scratch/bench.err" >&2; exit 1; }

$node - "$scratch/node.json" "$scratch/bench.json" <<'JS'
const fs = require('fs');
const node = JSON.parse(fs.readFileSync(process.argv[2], 'utf8'));
const bench = JSON.parse(fs.readFileSync(process.argv[3], 'utf8'));
const median = (xs) => {
  const s = [...xs].sort((a, b) => a - b);
  return s.length % 2 ? s[(s.length - 1) / 2] : (s[s.length / 2 - 1] + s[s.length / 2]) / 2;
};
// name -> {wall: [bytes/s], cpu: [bytes/s]} from the single iterations.
const rates = new Map();
const scale = {ns: 1e-9, us: 1e-6, ms: 1e-3, s: 1};
for (const b of bench.benchmarks) {
  if (b.run_type !== 'iteration' || b.error_occurred) continue;
  const r = rates.get(b.run_name) || {wall: [], cpu: []};
  const bytes = 1048576;
  r.wall.push(bytes / (b.real_time * scale[b.time_unit]));
  r.cpu.push(bytes / (b.cpu_time * scale[b.time_unit]));
  rates.set(b.run_name, r);
}
for (const [way, runs] of Object.entries(node.runs)) {
  rates.set(`Node.js ${node.version} ${way}`,
            {wall: runs.map((r) => r.wall), cpu: runs.map((r) => r.cpu)});
}
const memcpy = rates.get('BM_Memcpy/1048576');
const nodeRate = rates.get(`Node.js ${node.version} buf.write`);
const gb = (x) => (x / 1e9).toFixed(2);
console.log(`medians of ${memcpy.cpu.length} repetitions, GB/s of decoded bytes (range)`);
console.log(['benchmark'.padEnd(44), 'wall GB/s'.padEnd(22), 'CPU GB/s'.padEnd(22),
             '/memcpy', '/Node buf.write'].join(' '));
for (const [name, r] of rates) {
  const w = median(r.wall), c = median(r.cpu);
  const range = (xs) => `${gb(median(xs))} (${gb(Math.min(...xs))}-${gb(Math.max(...xs))})`;
  console.log([name.padEnd(44), range(r.wall).padEnd(22), range(r.cpu).padEnd(22),
               (c / median(memcpy.cpu)).toFixed(3).padStart(7),
               (c / median(nodeRate.cpu)).toFixed(2).padStart(15)].join(' '));
}
console.log('(the ratios compare CPU-time medians)');
JS
