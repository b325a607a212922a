#!/bin/busybox sh
# /init of the test VM: runs the exchanges of /run.sh, then reports the files
# they left in /out through the debug console and ends the VM.
/bin/busybox --install -s /bin
export PATH=/bin HOME=/root
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mkdir -p /out /root

count=0
# exchange <name> <kobrel arguments...>: one run of kobrel between markers;
# its output in /out/<name>.out, its exit status in /out/<name>.status.
exchange() {
    name=$1
    shift
    count=$((count + 1))
    echo "$count $name" >>/out/markers
    rig-guest mark "$count"
    kobrel "$@" >"/out/$name.out"
    echo $? >"/out/$name.status"
}
# run <name> <command...>: any command between markers, output kept the same way.
run() {
    name=$1
    shift
    count=$((count + 1))
    echo "$count $name" >>/out/markers
    rig-guest mark "$count"
    "$@" >"/out/$name.out" 2>&1
    echo $? >"/out/$name.status"
}

. /run.sh >/out/run.log 2>&1
count=$((count + 1))
echo "$count end" >>/out/markers
rig-guest mark "$count"
rig-guest report /out
rig-guest exit 0
