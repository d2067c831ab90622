#!/bin/sh
# /init of the emulated router. Brings up loopback, starts the server
# simulator and the daemon as the router would run them, plays the cases of
# /router/cases and reports to the console (the first UART) in lines that
# start with "@@", which the host-side driver reads. The daemon's port,
# /dev/ttyS0, is the second UART; its other end is the driver's socket.
#
# /router/cases: one line per data message, "ID B D S P HEX UPLINK": the
# settings indices, the payload in hex, and 1 when the driver types bytes
# on the UART after this case. Every wait below gives up after a generous
# limit and says so, so that the driver fails with a reason, not a hang.
export PATH=/bin:/usr/bin:/usr/sbin
/bin/busybox mount -t proc proc /proc
/bin/busybox --install -s /bin

LOG=/tmp/adapterd.log
SIM=/tmp/sim.log
PORT=/dev/ttyS0

say() { echo "@@$*"; }

# Centiseconds since boot.
now_cs() {
    read -r up _ </proc/uptime
    echo "${up%.*}${up#*.}"
}

# Waits until FILE has at least WANT lines matching one of the fixed
# strings; gives up after about LIMIT seconds.
wait_lines() {
    file=$1 want=$2 limit=$3
    shift 3
    i=0
    while [ "$(grep -c -F "$@" "$file" 2>/dev/null)" -lt "$want" ]; do
        i=$((i + 1))
        [ "$i" -gt $((limit * 20)) ] && return 1
        usleep 50000
    done
}

finish() {
    sed 's/^/@@log /' "$LOG"
    sed 's/^/@@sim /' "$SIM"
    say "end"
    sync
    poweroff -f
}

ifconfig lo 127.0.0.1 up
say "env kernel $(uname -r)"
say "env busybox $(busybox | head -n 1)"
say "env uart $(grep '^1:' /proc/tty/driver/serial)"

# The simulator reads its commands from a FIFO that this script holds open.
mkfifo /tmp/sim.in
exec 3<>/tmp/sim.in
/router/adapter-sim --port 60928 </tmp/sim.in >"$SIM" 2>&1 &
wait_lines "$SIM" 1 30 -e "listening on" || { say "fail simulator did not start"; finish; }

cd /
start=$(now_cs)
/usr/sbin/adapterd </dev/null >"$LOG" 2>&1 &
pid=$!
wait_lines "$SIM" 1 60 -e "online request" || { say "fail daemon did not log in"; finish; }
say "ready $pid $start $(now_cs)"

n=0
while read -r id b d s p hex uplink <&4; do
    echo "datahex $b $d $s $p $hex" >&3
    n=$((n + 1))
    # Written after a reopen, or at once when the settings did not change.
    if ! wait_lines "$LOG" "$n" 30 -e "uart write:" -e "write to uart"; then
        say "fail case $id: the daemon did not write the data"
        finish
    fi
    say "case $id $(stty -a -F "$PORT" 2>/dev/null | tr '\n' ' ')"
    if [ "$uplink" = 1 ]; then
        m=$(grep -c -F " data up," "$SIM")
        say "uplink-ready $id"
        if ! wait_lines "$SIM" $((m + 1)) 30 -e " data up,"; then
            say "fail uplink $id: nothing reached the server"
            finish
        fi
        say "uplink $id $(grep -F " data up," "$SIM" | tail -n 1)"
    fi
done 4</router/cases

say "msgq-head $(head -n 1 /proc/sysvipc/msg)"
say "msgq $(grep -E '^ *1234 ' /proc/sysvipc/msg) running $(($(now_cs) - start))"
say "status $(grep -E '^(VmRSS|VmHWM|VmSize|Threads):' /proc/$pid/status | tr -s '\t\n ' '   ')"
say "leds $(for f in /sys/devices/gpio-leds.4/leds/*/brightness; do echo "$f=$(cat "$f")"; done | tr '\n' ' ')"

# The device stops taking data (it sends XOFF, which the tty obeys once
# told to) while the server sends more than the driver's buffer and the
# daemon's hold take: SIGTERM then finds output stuck in the driver.
stty -F "$PORT" ixon
say "xoff"
sleep 1
n=$(grep -c -F -e "write to uart" -e "uart write:" "$LOG")
cat /router/stall.sim >&3
if wait_lines "$LOG" $((n + 4)) 30 -e "write to uart" -e "uart write:"; then
    sleep 2
    say "stalled $(grep -c -F -e "write to uart" -e "uart write:" "$LOG") writes, $(grep '^1:' /proc/tty/driver/serial)"
fi

t0=$(now_cs)
kill -TERM "$pid"
wait "$pid"
status=$?
say "exit $status $(($(now_cs) - t0))"
# The daemon was the last to close its port: with hang-up on close left on,
# the driver would have dropped RTS and DTR, as at every settings change.
say "lines-after-exit $(grep '^1:' /proc/tty/driver/serial)"
finish
