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
# step <name>: the next marker in the UART's scratch register, and its name.
step() {
    count=$((count + 1))
    echo "$count $1" >>/out/markers
    rig-guest mark "$count"
}
# exchange <name> <kobrel arguments...>: one run of kobrel, its output in
# /out/<name>.out, its exit status in /out/<name>.status.
exchange() {
    name=$1
    shift
    step "$name"
    kobrel "$@" >"/out/$name.out"
    echo $? >"/out/$name.status"
}
# run <name> <command...>: any command, its output kept the same way.
run() {
    name=$1
    shift
    step "$name"
    "$@" >"/out/$name.out" 2>&1
    echo $? >"/out/$name.status"
}

. /run.sh >/out/run.log 2>&1
step end
rig-guest report /out
rig-guest exit 0
