#!/usr/bin/env bash
# clang-tidy over the driver's sources, once against the kit headers of the
# real kernel and once against the model kernel, with the checked-in
# .clang-tidy, one source and kernel per processor at a time. Exits non-zero
# when any finds anything.
set -euo pipefail
cd "$(dirname "$0")/.."

resource_dir=$(clang -print-resource-dir)
mingw=/usr/x86_64-w64-mingw32/include
export VEK_TIDY_CROSS_FLAGS="--target=x86_64-pc-windows-msvc -fgnuc-version=4.2.1 -fms-extensions
    -nostdinc -isystem $mingw/ddk -isystem $mingw -isystem $resource_dir/include -Ivekcrashdmp
    -ffreestanding -fno-exceptions -fno-rtti -std=c++17"
export VEK_TIDY_MODEL_FLAGS="-DVEK_MODEL_KERNEL -std=c++17 -fno-exceptions -fno-rtti -Ihost/model/include -Ivekcrashdmp"

sources=$(ls vekcrashdmp/{driver,console,report,modules,hypervisor,devsecure}/*.cpp 2>/dev/null || true)
results=$(mktemp -d)
trap 'rm -rf "$results"' EXIT

# One check: its findings land in a file named for it, which stays empty when
# it is clean.
check() {
    local kernel=$1 source=$2 flags out
    if [ "$kernel" = cross ]; then flags=$VEK_TIDY_CROSS_FLAGS; else flags=$VEK_TIDY_MODEL_FLAGS; fi
    out="$VEK_TIDY_RESULTS/$(echo "$kernel-$source" | tr / _)"
    # shellcheck disable=SC2086  # the flags are words
    if ! clang-tidy --quiet "$source" -- $flags >"$out.log" 2>/dev/null; then
        { echo "clang-tidy ($kernel kernel): $source"; cat "$out.log"; } >"$out.fail"
    fi
}
export -f check
export VEK_TIDY_RESULTS=$results

for source in $sources; do
    printf 'cross %s\nmodel %s\n' "$source" "$source"
done | xargs -P "$(nproc)" -n 2 bash -c 'check "$0" "$1"'

if ls "$results"/*.fail >/dev/null 2>&1; then
    cat "$results"/*.fail
    exit 1
fi
echo "clang-tidy: $(echo "$sources" | wc -w) driver sources clean against both kernels"
