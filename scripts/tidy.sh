#!/usr/bin/env bash
# clang-tidy over the driver's sources, once against the kit headers of the
# real kernel and once against the model kernel, with the checked-in
# .clang-tidy. Exits non-zero on the first finding.
set -euo pipefail
cd "$(dirname "$0")/.."

resource_dir=$(clang -print-resource-dir)
mingw=/usr/x86_64-w64-mingw32/include
cross_flags=(--target=x86_64-pc-windows-msvc -fgnuc-version=4.2.1 -fms-extensions
             -nostdinc -isystem "$mingw/ddk" -isystem "$mingw" -isystem "$resource_dir/include" -Ivekcrashdmp
             -ffreestanding -fno-exceptions -fno-rtti -std=c++17)
model_flags=(-DVEK_MODEL_KERNEL -std=c++17 -fno-exceptions -fno-rtti -Ihost/model/include -Ivekcrashdmp)

sources=$(ls vekcrashdmp/{driver,console,report,modules,hypervisor,devsecure}/*.cpp 2>/dev/null || true)
status=0
for source in $sources; do
    for kernel in cross model; do
        if [ "$kernel" = cross ]; then flags=("${cross_flags[@]}"); else flags=("${model_flags[@]}"); fi
        if ! clang-tidy --quiet "$source" -- "${flags[@]}" 2>/tmp/tidy.$$ >/tmp/tidy-out.$$; then
            echo "clang-tidy ($kernel kernel): $source"
            cat /tmp/tidy-out.$$
            status=1
        fi
    done
done
rm -f /tmp/tidy.$$ /tmp/tidy-out.$$
if [ "$status" = 0 ]; then
    echo "clang-tidy: $(echo "$sources" | wc -w) driver sources clean against both kernels"
fi
exit "$status"
