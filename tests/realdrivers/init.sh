#!/rig/bin/busybox sh
# The guest's first process. Loads the drivers, mounts the host's /usr, /etc and /var
# read-only over 9p (so the guest runs the host's Qt, X server and Python without an image of
# its own) with tmpfs wherever the guest writes, then hands over to the agent, which the host
# drives over the virtio port named "rig". The console (ttyS0) shows what goes wrong.
/rig/bin/busybox --install -s /rig/bin
export PATH=/usr/bin:/usr/sbin:/rig/bin

mount -t proc proc /proc
mount -t sysfs sysfs /sys
# devtmpfs: device nodes come and go with the devices, as udev would make them.
mount -t devtmpfs devtmpfs /dev
mkdir -p /dev/pts /dev/shm
mount -t devpts devpts /dev/pts
mount -t tmpfs tmpfs /dev/shm

while read -r module; do
    insmod "/rig/modules/$module" || echo "init: loading $module failed"
done </rig/modules/order

share() { # TAG DIRECTORY OPTIONS
    mount -t 9p -o "trans=virtio,version=9p2000.L,msize=524288,$3" "$1" "$2" \
        || echo "init: mounting $1 failed"
}
# What the host shares read-only does not change while the guest runs: cached freely. Logs
# go to the host uncached, so that they are there even when the guest is stopped mid-run.
for tag in usr etc var; do share "$tag" "/$tag" ro,cache=loose; done
share src /rig/src ro,cache=loose
share app /rig/app ro,cache=loose
share out /rig/out rw,cache=none

for dir in /tmp /run /root; do mount -t tmpfs tmpfs "$dir"; done
mkdir -p /run/lock /run/user/0 /tmp/.X11-unix
chmod 1777 /tmp /run/lock
chmod 700 /run/user/0

export HOME=/root XDG_RUNTIME_DIR=/run/user/0 LANG=C.UTF-8
/usr/bin/python3 /rig/src/agent.py
echo "init: the agent ended with status $?"
poweroff -f
