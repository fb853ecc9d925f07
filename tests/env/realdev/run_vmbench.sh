#!/bin/sh
# Runs the real-device check in the VM bench: QEMU's NVMe 1.4 controller bound to a user-space driver, hugepages.
# Usage: run_vmbench.sh <uio|vfio> <kyt_env_realdev binary>
set -u
bind="$1"
bin="$2"
vmbench="${KYT_VMBENCH:-/work/shared/vmbench/vmbench}"
if ! command -v qemu-system-x86_64 >/dev/null 2>&1; then
	echo "SKIP: qemu-system-x86_64 is not installed (scripts/setup.sh installs the VM bench packages)"
	exit 77
fi
if [ ! -x "$vmbench" ]; then
	echo "SKIP: the VM bench is not available at $vmbench"
	exit 77
fi
out=$("$vmbench" -q --timeout 100 --nvme 64 --bind "$bind" --hugepages 256 -- "$bin" 0000:00:04.0 00010400 2>&1)
rc=$?
printf '%s\n' "$out"
if [ "$rc" -ne 0 ]; then
	echo "FAIL: the real-device check exited with $rc"
	exit 1
fi
for want in "REALDEV: environment start 0" "--huge-unlink" "-a 0000:00:04.0" "REALDEV: claim held" "REALDEV: attach 0" \
	"REALDEV: VS 0x00010400" "REALDEV: Identify completion status 0x0" "REALDEV: OK"; do
	if ! printf '%s\n' "$out" | grep -qF -- "$want"; then
		echo "FAIL: missing '$want'"
		exit 1
	fi
done
case "$bind" in
uio) mode="IOVA as PA" ;;
vfio) mode="IOVA as VA" ;;
*) mode="" ;;
esac
if [ -n "$mode" ] && ! printf '%s\n' "$out" | grep -qF "($mode)"; then
	echo "FAIL: expected DMA addresses in mode '$mode'"
	exit 1
fi
echo "PASS: $bind"
