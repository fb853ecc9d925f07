#!/bin/sh
# Runs kyt_nvme_vm_io in the VM bench against QEMU's NVMe controller with a 16 MiB controller memory buffer.
# Exit 77 (skipped) only when QEMU or the bench is not installed.
set -u
bin="$1"
here="$(cd "$(dirname "$0")" && pwd)"
root="$(cd "$here/../../.." && pwd)"
vmbench=""
for candidate in "$root/../shared/vmbench/vmbench" /work/shared/vmbench/vmbench; do
  if [ -x "$candidate" ]; then
    vmbench="$candidate"
    break
  fi
done
if ! command -v qemu-system-x86_64 >/dev/null 2>&1; then
  echo "SKIPPED: qemu-system-x86_64 is not installed, the VM bench cannot run"
  exit 77
fi
if [ -z "$vmbench" ]; then
  echo "SKIPPED: the VM bench (shared/vmbench/vmbench) is not present"
  exit 77
fi
out="$(mktemp)"
"$vmbench" -q --nvme 64 --nvme-opts cmb_size_mb=16,legacy-cmb=on --bind uio --hugepages 256 --timeout 110 -- "$bin" 0000:00:04.0 \
  >"$out" 2>&1
rc=$?
cat "$out"
rm -f "$out"
exit $rc
