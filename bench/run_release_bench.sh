#!/usr/bin/env bash
# Release-tool benchmarks on real file pairs that two versions of npm
# packages ship: WebAssembly and asm.js builds (sql.js), a large wasm build
# (esbuild-wasm) and fonts in TTF and WOFF (KaTeX). Prints our archive size
# after SZDD against xdelta3 (-9, and -9 -S none) and bsdiff with the goals
# per folder, build time against xdelta3, and our
# SZDD compressor against mscompress and the format's minimum.
#
#   bash bench/run_release_bench.sh            (after cmake --build --preset native)
#   BUILD=build/other bash bench/run_release_bench.sh
set -eu
here=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD:-$here/build/native}
work=${WORK:-$(mktemp -d /tmp/vnpatch-release-bench.XXXXXX)}
keep=${KEEP:-}
[ -n "$keep" ] || trap 'rm -rf "$work"' EXIT

install() { # folder package@version
    [ -d "$work/$1/node_modules" ] ||
        npm install --silent --no-audit --no-fund --prefix "$work/$1" "$2" >/dev/null
}
install sqlA sql.js@1.16.0
install sqlB sql.js@1.17.0
install esA esbuild-wasm@0.28.1
install esB esbuild-wasm@0.28.2
install kaA katex@0.10.2
install kaB katex@0.16.9

pairs=()
sa=$work/sqlA/node_modules/sql.js/dist
sb=$work/sqlB/node_modules/sql.js/dist
for f in sql-wasm.wasm sql-wasm-debug.wasm sql-asm.js; do pairs+=("$sa/$f" "$sb/$f"); done
ka=$work/kaA/node_modules/katex/dist/fonts
kb=$work/kaB/node_modules/katex/dist/fonts
for f in "$ka"/*.ttf "$ka"/*.woff; do
    b=$(basename "$f")
    if [ -f "$kb/$b" ] && ! cmp -s "$f" "$kb/$b"; then pairs+=("$f" "$kb/$b"); fi
done
pairs+=("$work/esA/node_modules/esbuild-wasm/esbuild.wasm" "$work/esB/node_modules/esbuild-wasm/esbuild.wasm")

echo "=== delta: archive size after SZDD and build time against xdelta3 -9 and bsdiff"
"$build/bench/delta/bench_delta" "${pairs[@]}"

echo
echo "=== SZDD: our compressor against mscompress"
# Inputs: the new versions themselves and an archive built from the sql.js pair.
mkdir -p "$work/trees/old" "$work/trees/new"
cp "$sa"/sql-wasm.wasm "$sa"/sql-asm.js "$work/trees/old/"
cp "$sb"/sql-wasm.wasm "$sb"/sql-asm.js "$work/trees/new/"
"$build/tools/vnpatch/vnpatch" build --old "$work/trees/old" --new "$work/trees/new" \
    -o "$work/sqljs.cf" >/dev/null
"$build/bench/szdd_compress/bench_szdd_compress" "$work/sqljs.cf" "$sb/sql-wasm.wasm" \
    "$sb/sql-asm.js" "$kb/KaTeX_Main-Regular.ttf" \
    "$work/esB/node_modules/esbuild-wasm/esbuild.wasm"
