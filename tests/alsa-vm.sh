#!/bin/bash
# alsa-vm.sh - runs a command in a throw-away QEMU guest with a real ALSA
# sequencer, for the MIDI tests on ALSA (this machine has no /dev/snd). The
# guest boots Debian's own kernel, uses this machine's / read-only over 9p as
# its root, and loads snd-seq, snd-seq-dummy ("Midi Through") and
# snd-virmidi ("VirMIDI 0-0" .. "0-3", raw side hw:0,N).
#
#   alsa-vm.sh [--cache DIR] [options] -- COMMAND [ARG...]
#
# The command's stdout and stderr come back on this script's stdout and stderr
# (two guest serial ports), and its exit status becomes this script's exit
# status (124: timed out, 125: the guest failed before or around the command).
# The current directory is shared read-write; the guest's /tmp, /run and
# /dev/shm are fresh. Under TCG (no hardware KVM here) the boot takes some
# 6 s and everything inside runs several times slower: pace by what arrived,
# never by fixed sleeps. The unpacked kernel and the initramfs are kept in
# the cache directory and rebuilt when the kernel or this script changes.
set -u

SELF=$(readlink -f "${BASH_SOURCE[0]}")
PROG=alsa-vm

MEM=1024
TIMEOUT=600
CPUS=2
ACCEL=auto
KVER=
VIRMIDI=4
RW_ROOT=0
NO_SHARE=0
VERBOSE=0
CONSOLE_LOG=
CHECK_ONLY=0
SHARES=()
EXTRA_ENV=()
CACHE_DIR=${ALSA_VM_CACHE:-${TMPDIR:-/tmp}/brantolex-alsa-vm}

usage() {
    cat >&2 <<EOF
usage: $0 [options] -- COMMAND [ARG...]
  --cache DIR       kernel and initramfs cache (default $CACHE_DIR)
  --mem MB          guest memory (default $MEM)
  --cpus N          guest vCPUs (default $CPUS)
  --timeout S       kill the guest after S seconds, exit 124 (default $TIMEOUT)
  --share DIR       share host DIR read-write at the same path (repeatable);
                    the current directory is shared read-write too unless it
                    lies inside a --share DIR or --no-share is given
  --no-share        do not share the current directory
  --rw-root         make the whole root writable (overlay; changes discarded)
  --env VAR=VALUE   set VAR in the guest (repeatable); the host environment
                    is passed through otherwise (minus display/session ones)
  --accel kvm|tcg|auto   (default auto: kvm only with hardware KVM, else tcg)
  --kernel VERSION  kernel from /boot + /lib/modules (default: newest)
  --virmidi N       number of snd-virmidi devices (default $VIRMIDI)
  --console-log F   keep the guest kernel console log in F
  -v, --verbose     print boot timing and the accelerator used on stderr
  --check           only check that the tools it needs are there
EOF
    exit 2
}

die() { echo "$PROG: $*" >&2; exit 125; }

while [ $# -gt 0 ]; do
    case "$1" in
        --cache) CACHE_DIR=$2; shift 2 ;;  --cache=*) CACHE_DIR=${1#*=}; shift ;;
        --mem) MEM=$2; shift 2 ;;          --mem=*) MEM=${1#*=}; shift ;;
        --cpus) CPUS=$2; shift 2 ;;        --cpus=*) CPUS=${1#*=}; shift ;;
        --timeout) TIMEOUT=$2; shift 2 ;;  --timeout=*) TIMEOUT=${1#*=}; shift ;;
        --share) SHARES+=("$2"); shift 2 ;; --share=*) SHARES+=("${1#*=}"); shift ;;
        --no-share) NO_SHARE=1; shift ;;
        --rw-root) RW_ROOT=1; shift ;;
        --env) EXTRA_ENV+=("$2"); shift 2 ;; --env=*) EXTRA_ENV+=("${1#*=}"); shift ;;
        --accel) ACCEL=$2; shift 2 ;;      --accel=*) ACCEL=${1#*=}; shift ;;
        --kernel) KVER=$2; shift 2 ;;      --kernel=*) KVER=${1#*=}; shift ;;
        --virmidi) VIRMIDI=$2; shift 2 ;;  --virmidi=*) VIRMIDI=${1#*=}; shift ;;
        --console-log) CONSOLE_LOG=$2; shift 2 ;; --console-log=*) CONSOLE_LOG=${1#*=}; shift ;;
        -v|--verbose) VERBOSE=1; shift ;;
        --check) CHECK_ONLY=1; shift ;;
        -h|--help) usage ;;
        --) shift; break ;;
        *) echo "$PROG: unknown option '$1'" >&2; usage ;;
    esac
done
[ $# -ge 1 ] || [ "$CHECK_ONLY" = 1 ] || usage
[[ $MEM =~ ^[0-9]+$ && $CPUS =~ ^[1-9][0-9]*$ && $TIMEOUT =~ ^[0-9]+$ && $VIRMIDI =~ ^[0-9]+$ ]] \
    || die "--mem, --cpus, --timeout and --virmidi take whole numbers"

vlog() { [ "$VERBOSE" = 1 ] && echo "$PROG: $*" >&2; return 0; }
now() { date +%s.%N; }
T0=$(now)

# modprobe, depmod and insmod live in the system directories, outside an
# ordinary user's PATH.
export PATH=$PATH:/usr/sbin:/sbin
for c in qemu-system-x86_64 cpio gzip modprobe depmod insmod sha256sum timeout python3 mkfifo; do
    command -v "$c" >/dev/null || die "missing '$c' (apt-get install qemu-system-x86 cpio gzip kmod python3)"
done
BUSYBOX=/bin/busybox
{ [ -x $BUSYBOX ] && $BUSYBOX 2>&1 | head -1 | grep -q BusyBox && ! ldd $BUSYBOX >/dev/null 2>&1; } \
    || die "need a static busybox at $BUSYBOX (apt-get install busybox-static)"
[ "$CHECK_ONLY" = 1 ] && exit 0

# ---------------------------------------------------------------- kernel ---
if [ -z "$KVER" ]; then
    for k in $(ls -1 /boot/vmlinuz-* 2>/dev/null | sed 's|^/boot/vmlinuz-||' | sort -V -r); do
        if [ -f "/lib/modules/$k/modules.dep" ]; then KVER=$k; break; fi
    done
fi
[ -n "$KVER" ] || die "no kernel: need /boot/vmlinuz-VERSION and /lib/modules/VERSION (apt-get install linux-image-amd64)"
BZIMAGE=/boot/vmlinuz-$KVER
[ -r "$BZIMAGE" ] || die "cannot read $BZIMAGE"
[ -f "/lib/modules/$KVER/modules.dep" ] || die "no /lib/modules/$KVER/modules.dep"
mkdir -p "$CACHE_DIR" || die "cannot create $CACHE_DIR"

# The bzImage's self-decompression takes ~5 s under TCG: boot the extracted
# ELF vmlinux through its PVH entry point instead (cached), when it has one.
VMLINUX=$CACHE_DIR/vmlinux-$KVER
if [ ! -s "$VMLINUX" ] || [ "$VMLINUX" -ot "$BZIMAGE" ]; then
    PY=/usr/bin/python3; [ -x $PY ] || PY=python3
    $PY - "$BZIMAGE" "$VMLINUX.tmp.$$" <<'PY' && mv -f "$VMLINUX.tmp.$$" "$VMLINUX" || rm -f "$VMLINUX.tmp.$$"
import sys, lzma, gzip, zlib, struct
src, dst = sys.argv[1], sys.argv[2]
d = open(src, 'rb').read()
def try_xz(i):
    return lzma.LZMADecompressor(format=lzma.FORMAT_XZ).decompress(d[i:])
def try_gz(i):
    return zlib.decompressobj(16 + zlib.MAX_WBITS).decompress(d[i:])
out = None
for magic, fn in ((b'\xfd7zXZ\x00', try_xz), (b'\x1f\x8b\x08', try_gz)):
    i = d.find(magic)
    while i >= 0 and out is None:
        try:
            r = fn(i)
            if r[:4] == b'\x7fELF':
                out = r
        except Exception:
            pass
        i = d.find(magic, i + 1)
    if out is not None:
        break
if out is None:
    sys.exit(1)
# Require a PVH entry note (Xen ELF note type 18), else keep the bzImage.
e_phoff, = struct.unpack_from('<Q', out, 0x20)
e_phentsize, e_phnum = struct.unpack_from('<HH', out, 0x36)
ok = False
for k in range(e_phnum):
    p_type, _, p_off, _, _, p_filesz = struct.unpack_from('<IIQQQQ', out, e_phoff + k * e_phentsize)
    if p_type != 4:
        continue
    o, end = p_off, p_off + p_filesz
    while o + 12 <= end:
        nsz, dsz, typ = struct.unpack_from('<III', out, o)
        name = out[o + 12:o + 12 + nsz].rstrip(b'\0')
        if name == b'Xen' and typ == 18:
            ok = True
        o += 12 + ((nsz + 3) & ~3) + ((dsz + 3) & ~3)
if not ok:
    sys.exit(1)
open(dst, 'wb').write(out)
PY
fi
if [ -s "$VMLINUX" ]; then KERNEL=$VMLINUX; else KERNEL=$BZIMAGE; fi

# ------------------------------------------------------------- initramfs ---
# Modules the guest loads, each after its dependencies: 9p root first, then
# the sound modules (snd-seq-dummy: "Midi Through"; snd-virmidi: virtual raw
# MIDI cards, each with a sequencer port).
EARLY_MODS="virtio_pci 9pnet_virtio 9p overlay"
SOUND_MODS="snd-seq snd-seq-dummy snd-seq-midi snd-virmidi"

read -r -d '' GUEST_INIT <<'INIT_EOF'
#!/bin/sh
# PID 1 of the guest (busybox sh from the initramfs).  The run's
# settings, shares and command come in /run.conf, /run.shares, /run.cmd (a
# second cpio archive appended to the cached initramfs).
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
stty -F /dev/ttyS0 raw -echo
stty -F /dev/ttyS1 raw -echo

say() { echo "alsa-vm(guest): $*" >/dev/ttyS1; echo "alsa-vm(guest): $*" >/dev/console; }
halt() { sync; poweroff -f; sleep 5; echo o >/proc/sysrq-trigger; }
fail() { say "$*"; halt; }
uptime_s() { read -r u _ </proc/uptime; echo "$u"; }

. /run.conf
MODARGS_snd_virmidi="midi_devs=$VIRMIDI"
load() {   # insmod the files of a "modprobe --show-depends" list, in order
    while read -r kind path; do
        [ "$kind" = insmod ] || continue
        name=${path##*/}; name=${name%.ko}; name=$(echo "$name" | tr - _)
        [ -d "/sys/module/$name" ] && continue
        eval "args=\${MODARGS_$name:-}"
        insmod "$path" $args || say "insmod $path failed"
    done <"$1"
}
load /early.order
load /sound.order
T_MODS=$(uptime_s)

P9="trans=virtio,version=9p2000.L,msize=512000"
mkdir -p /newroot /lower /ovl
mount -t tmpfs -o mode=755 ovl /ovl
R=/newroot
if [ "$RW_ROOT" = 1 ]; then
    mount -t 9p -o "$P9,ro,cache=loose" root /lower || fail "cannot mount the 9p root"
    mkdir -p /ovl/root.up /ovl/root.work
    mount -t overlay -o lowerdir=/lower,upperdir=/ovl/root.up,workdir=/ovl/root.work overlay $R \
        || fail "cannot make the overlay root"
else
    mount -t 9p -o "$P9,ro,cache=loose" root $R || fail "cannot mount the 9p root"
fi
mount -t proc proc $R/proc
mount -t sysfs sys $R/sys
mount -t devtmpfs dev $R/dev
mkdir -p $R/dev/pts $R/dev/shm $R/dev/mqueue
mount -t devpts -o newinstance,ptmxmode=0666,mode=620 devpts $R/dev/pts && ln -sf pts/ptmx $R/dev/ptmx
mount -t tmpfs -o mode=1777 shm $R/dev/shm
mount -t mqueue mqueue $R/dev/mqueue 2>/dev/null
mount -t tmpfs -o mode=1777 tmp $R/tmp
mount -t tmpfs -o mode=755 run $R/run
[ -d $R/var/tmp ] && mount -t tmpfs -o mode=1777 vartmp $R/var/tmp

# Writable homes: overlay (host content visible, changes discarded), else tmpfs.
if [ "$RW_ROOT" != 1 ]; then
    i=0
    for h in /root $GUEST_HOME; do
        [ -d "$R$h" ] || { mkdir -p "$R$h" 2>/dev/null; continue; }
        grep -q " $R$h " /proc/mounts && continue
        i=$((i+1)); mkdir -p /ovl/h$i.up /ovl/h$i.work
        mount -t overlay -o "lowerdir=$R$h,upperdir=/ovl/h$i.up,workdir=/ovl/h$i.work" home$i "$R$h" \
            || { say "overlay on $h failed, using an empty tmpfs"; mount -t tmpfs -o mode=700 home$i "$R$h"; }
    done
fi

# Read-write shares of host directories, at their host paths.
while read -r tag path; do
    [ -n "$tag" ] || continue
    mkdir -p "$R$path" 2>/dev/null
    mount -t 9p -o "$P9,rw,cache=mmap" "$tag" "$R$path" || fail "cannot mount the share $path"
done </run.shares

ip link set lo up 2>/dev/null || ifconfig lo 127.0.0.1 up
hostname alsa-vm
[ -n "$GUEST_XDG_RUNTIME_DIR" ] && mkdir -p -m 700 "$R$GUEST_XDG_RUNTIME_DIR"
mkdir -p $R/run/vm
cp /run.cmd $R/run/vm/
[ -e /dev/snd/seq ] || say "warning: /dev/snd/seq is missing"

T_START=$(uptime_s)
chroot $R /bin/sh /run/vm/run.cmd </dev/null >/dev/ttyS0 2>/dev/ttyS1
rc=$?
T_END=$(uptime_s)
kill -9 -1 2>/dev/null
sync
# Setting a line again waits until the port has sent everything.
stty -F /dev/ttyS0 raw -echo
stty -F /dev/ttyS1 raw -echo
echo "ALSA-VM-TIMES modules=$T_MODS start=$T_START end=$T_END" >/dev/console
echo "ALSA-VM-EXIT=$rc" >/dev/console
halt
INIT_EOF

APPLETS="sh mount umount mkdir insmod cat echo chroot poweroff sync stty cp sleep ln tr grep ip ifconfig hostname kill"
# Cache key: kernel version, this script, busybox.
KEY=$( { echo "$KVER"; cat "$SELF"; sha256sum $BUSYBOX; } | sha256sum | cut -c1-16)
INITRD=$CACHE_DIR/initramfs-$KVER-$KEY.cpio.gz

build_initramfs() {
    local st f
    st=$(mktemp -d "$CACHE_DIR/build.XXXXXX") || die "mktemp failed"
    mkdir -p "$st/bin" "$st/proc" "$st/sys" "$st/dev" "$st/tmp"
    cp $BUSYBOX "$st/bin/busybox"
    for f in $APPLETS; do ln -s busybox "$st/bin/$f"; done
    printf '%s\n' "$GUEST_INIT" >"$st/init"; chmod 755 "$st/init"
    modprobe -S "$KVER" -a --show-depends --ignore-install $EARLY_MODS >"$st/early.order" \
        || die "modprobe --show-depends $EARLY_MODS failed"
    modprobe -S "$KVER" -a --show-depends --ignore-install $SOUND_MODS >"$st/sound.order" \
        || die "modprobe --show-depends $SOUND_MODS failed"
    for f in $(awk '$1=="insmod"{print $2}' "$st/early.order" "$st/sound.order" | sort -u); do
        mkdir -p "$st$(dirname "$f")"
        case "$f" in      # busybox insmod wants plain .ko files
            *.ko.xz) xz -dc "$f" >"$st${f%.xz}" ;;
            *.ko.zst) zstd -qdc "$f" >"$st${f%.zst}" ;;
            *.ko.gz) gzip -dc "$f" >"$st${f%.gz}" ;;
            *) cp "$f" "$st$f" ;;
        esac || die "cannot copy $f"
    done
    sed -i -E 's/\.ko\.(xz|zst|gz)( |$)/.ko\2/' "$st/early.order" "$st/sound.order"
    (cd "$st" && find . | LC_ALL=C sort | cpio -o -H newc --quiet -R 0:0 | gzip -1) >"$INITRD.tmp.$$" \
        || die "cpio failed"
    # Pad with zeros: the archive appended per run must start 4-byte aligned.
    truncate -s %512 "$INITRD.tmp.$$" || die "truncate failed"
    mv -f "$INITRD.tmp.$$" "$INITRD"
    rm -rf "$st"
    find "$CACHE_DIR" -maxdepth 1 -name 'initramfs-*.cpio.gz' ! -name "${INITRD##*/}" -delete
    vlog "built $INITRD ($(du -k "$INITRD" | cut -f1) KiB)"
}
[ -s "$INITRD" ] || build_initramfs

# ------------------------------------------------------------- this run ---
RUN=$(mktemp -d "${TMPDIR:-/tmp}/alsa-vm.XXXXXX") || die "mktemp failed"
CAT_PIDS=()
cleanup() {
    local p
    for p in "${CAT_PIDS[@]}"; do kill "$p" 2>/dev/null; done
    rm -rf "$RUN"
}
QPID=
on_signal() {   # stop the guest, then leave (the EXIT trap cleans up)
    [ -z "$QPID" ] || { kill -TERM "$QPID" 2>/dev/null; wait "$QPID" 2>/dev/null; }
    exit "$1"
}
trap cleanup EXIT
trap 'on_signal 129' HUP
trap 'on_signal 130' INT
trap 'on_signal 143' TERM

# POSIX shell quoting (the command file is read by the host's /bin/sh in the guest).
q() { local s=${1//\'/\'\\\'\'}; printf "'%s'" "$s"; }

CWD=$(pwd -P)
SHARE_PATHS=()
for s in "${SHARES[@]}"; do
    [ -d "$s" ] || die "--share $s: not a directory"
    s=$(cd "$s" && pwd -P)
    [ "$s" = / ] && die "--share / is not allowed (the root is there already, read-only; see --rw-root)"
    SHARE_PATHS+=("$s")
done
covered=0
for s in "${SHARE_PATHS[@]}"; do
    case "$CWD/" in "$s"/*) covered=1 ;; esac
done
if [ $NO_SHARE = 0 ] && [ $covered = 0 ] && [ "$CWD" != / ]; then SHARE_PATHS+=("$CWD"); fi

mkdir "$RUN/cpio"
QEMU_SHARE_ARGS=()
# passthrough keeps the guest's owners and modes on the host; it needs root.
SHARE_MODEL=passthrough; [ "$(id -u)" = 0 ] || SHARE_MODEL=none
: >"$RUN/cpio/run.shares"
i=0
for s in "${SHARE_PATHS[@]}"; do
    case "$s" in *[[:space:],]*) die "a share path with white space or commas is not supported: $s" ;; esac
    QEMU_SHARE_ARGS+=(-fsdev "local,id=fs$i,path=$s,security_model=$SHARE_MODEL,multidevs=remap"
                      -device "virtio-9p-pci,fsdev=fs$i,mount_tag=share$i")
    echo "share$i $s" >>"$RUN/cpio/run.shares"
    i=$((i+1))
done

GUEST_HOME=${HOME:-/root}
GUEST_XDG=${XDG_RUNTIME_DIR:-}
{
    echo "VIRMIDI=$VIRMIDI"
    echo "RW_ROOT=$RW_ROOT"
    echo "GUEST_HOME=$(q "$GUEST_HOME")"
    echo "GUEST_XDG_RUNTIME_DIR=$(q "$GUEST_XDG")"
} >"$RUN/cpio/run.conf"

# The command file: the environment, the working directory, the command.
{
    echo '# generated by alsa-vm.sh'
    echo 'unset MODARGS_snd_virmidi'
    for name in $(compgen -e); do
        case "$name" in
            DISPLAY|WAYLAND_DISPLAY|XAUTHORITY|DBUS_SESSION_BUS_ADDRESS|SSH_*|TMUX|TMUX_PANE|\
            PWD|OLDPWD|SHLVL|_|TERM_SESSION_ID|JOURNAL_STREAM|INVOCATION_ID|NOTIFY_SOCKET|\
            MANAGERPID|LISTEN_*) continue ;;
        esac
        [[ $name =~ ^[A-Za-z_][A-Za-z0-9_]*$ ]] || continue
        echo "export $name=$(q "${!name}")"
    done
    for kv in "${EXTRA_ENV[@]}"; do
        [[ $kv =~ ^[A-Za-z_][A-Za-z0-9_]*= ]] || die "--env $kv: expected VAR=VALUE"
        echo "export ${kv%%=*}=$(q "${kv#*=}")"
    done
    echo "cd $(q "$CWD") 2>/dev/null || { echo 'alsa-vm(guest): cannot cd to '$(q "$CWD")' (not shared; the guest has fresh /tmp, /run and /var/tmp)' >&2; exit 125; }"
    echo "export PWD=$(q "$CWD")"
    printf 'exec'
    for a in "$@"; do printf ' %s' "$(q "$a")"; done
    printf '\n'
} >"$RUN/cpio/run.cmd"
chmod 600 "$RUN/cpio/run.cmd"
# This run's initramfs: the cached one with a small archive appended.
(cd "$RUN/cpio" && ls | cpio -o -H newc --quiet -R 0:0) | cat "$INITRD" - >"$RUN/initrd" \
    || die "cannot write the run's initramfs"

# Accelerator.  A usable /dev/kvm is not enough: on a host whose KVM is the
# software-only PVM flavour (module kvm_pvm, no kvm_intel/kvm_amd), a stock
# kernel crawls through instruction emulation and dies; use TCG there.
hw_kvm() {
    [ -c /dev/kvm ] && (exec 3<>/dev/kvm) 2>/dev/null || return 1
    [ -d /sys/module/kvm_intel ] || [ -d /sys/module/kvm_amd ]
}
if [ "$ACCEL" = auto ]; then
    if hw_kvm; then ACCEL=kvm; else ACCEL=tcg; fi
fi
case "$ACCEL" in
    kvm) CPU=host; [ -d /sys/module/kvm_pvm ] && CPU=host,-arch-capabilities
         ACCEL_ARGS=(-accel kvm -cpu "$CPU") ;;
    tcg) ACCEL_ARGS=(-accel tcg,thread=multi -cpu max) ;;
    *) die "--accel must be kvm, tcg or auto" ;;
esac
vlog "kernel $KVER ($(basename "$KERNEL")), accel $ACCEL, ${MEM} MiB, $CPUS vCPU(s), shares: ${SHARE_PATHS[*]:-none}"

# Guest serial ports -> FIFOs -> our stdout / stderr; kernel console -> file.
mkfifo "$RUN/out" "$RUN/err" || die "mkfifo failed"
cat "$RUN/out" & CAT_PIDS+=($!)
cat "$RUN/err" >&2 & CAT_PIDS+=($!)

KCMD="console=ttyS2 loglevel=4 quiet panic=-1 oops=panic random.trust_cpu=on tsc=reliable cryptomgr.notests"
KCMD+=" mitigations=off 8250.nr_uarts=4 rdinit=/init ${ALSA_VM_KCMD_EXTRA:-}"

T_QEMU=$(now)
timeout --foreground -k 5 "$TIMEOUT" qemu-system-x86_64 \
    -nodefaults -no-user-config -no-reboot \
    -machine pc "${ACCEL_ARGS[@]}" -smp "$CPUS" -m "$MEM" \
    -bios /usr/share/qemu/qboot.rom \
    -display none -vga none -monitor none -nic none \
    -kernel "$KERNEL" -initrd "$RUN/initrd" -append "$KCMD" \
    -chardev file,id=out,path="$RUN/out",append=on -serial chardev:out \
    -chardev file,id=err,path="$RUN/err",append=on -serial chardev:err \
    -chardev file,id=con,path="$RUN/console.log" -serial chardev:con \
    -fsdev "local,id=root,path=/,security_model=passthrough,readonly=on,multidevs=remap" \
    -device virtio-9p-pci,fsdev=root,mount_tag=root \
    "${QEMU_SHARE_ARGS[@]}" \
    </dev/null &
QPID=$!
wait "$QPID"
QRC=$?
QPID=
T1=$(now)

# Let the readers finish (EOF once QEMU has closed the FIFOs; if QEMU never
# opened one, opening and closing it here releases the reader).
for f in out err; do exec 9<>"$RUN/$f"; exec 9>&-; done
for p in "${CAT_PIDS[@]}"; do wait "$p" 2>/dev/null; done
CAT_PIDS=()

[ -z "$CONSOLE_LOG" ] || cp "$RUN/console.log" "$CONSOLE_LOG"
RC=$(tr -d '\r' <"$RUN/console.log" | sed -n 's/^ALSA-VM-EXIT=\([0-9][0-9]*\)$/\1/p' | tail -n 1)
if [ -n "$RC" ]; then
    if [ "$VERBOSE" = 1 ]; then
        vlog "guest uptime (s): $(tr -d '\r' <"$RUN/console.log" | sed -n 's/^ALSA-VM-TIMES //p' | tail -n 1)"
        vlog "host wall time (s): script start to qemu start $(awk -v a="$T0" -v b="$T_QEMU" 'BEGIN{printf "%.2f", b-a}'), qemu $(awk -v a="$T_QEMU" -v b="$T1" 'BEGIN{printf "%.2f", b-a}'), total $(awk -v a="$T0" -v b="$(now)" 'BEGIN{printf "%.2f", b-a}'); exit $RC"
    fi
    exit "$RC"
fi
if [ $QRC = 124 ] || [ $QRC = 137 ]; then
    echo "$PROG: timed out after $TIMEOUT s (guest killed)" >&2
    exit 124
fi
echo "$PROG: the guest stopped without an exit status (qemu exit $QRC); end of its console:" >&2
tail -n 30 "$RUN/console.log" >&2
exit 125
