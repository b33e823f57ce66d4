#!/usr/bin/python3
"""One python3-libtorrent peer for loopback tests and benchmarks.

  /usr/bin/python3 lt_peer.py seed|leech --torrent T --save DIR --listen IP:PORT
                   [--keep-seeding] [--timeout S] [--upload-limit KBps]
                   [--connect IP:PORT ...]

seed: serves the complete file(s) under DIR until SIGINT/SIGTERM or --timeout.
leech: downloads into DIR; exits 0 once every piece passed its hash check
(or keeps seeding with --keep-seeding), 1 when --timeout passes first.
Both exit 2 at once when the listener cannot be opened or the files cannot
be read or written.

Output, one line each, flushed at once:
  listening IP:PORT
  announced: <tracker message>      (every tracker reply)
  peer: <connection event>
  status: state=S progress=P downloaded=N uploaded=N peers=N rate_down=N rate_up=N
          (when the state or the number of peers changes, and at most once
          per --interval while bytes move)
  complete: downloaded=N            (leech, when all pieces are there)
  final: state=S progress=P downloaded=N uploaded=N peers=N
Byte counts are payload bytes. Everything stays on the given loopback
address: DHT, local peer discovery, UPnP and NAT-PMP are off.
"""
import argparse
import signal
import sys
import time

import libtorrent as lt


def parse_args():
    p = argparse.ArgumentParser()
    p.add_argument('role', choices=['seed', 'leech'])
    p.add_argument('--torrent', required=True)
    p.add_argument('--save', required=True)
    p.add_argument('--listen', required=True, help='IP:PORT')
    p.add_argument('--keep-seeding', action='store_true')
    p.add_argument('--timeout', type=float, default=0, help='seconds; 0 = none')
    p.add_argument('--upload-limit', type=int, default=0, help='KB/s; 0 = none')
    p.add_argument('--connect', action='append', default=[], help='IP:PORT of a peer to add by hand')
    p.add_argument('--interval', type=float, default=1.0, help='seconds between status lines')
    return p.parse_args()


def say(text):
    print(text, flush=True)


def main():
    args = parse_args()
    ip = args.listen.rsplit(':', 1)[0]
    settings = lt.high_performance_seed() if args.role == 'seed' else lt.default_settings()
    settings.update({
        'listen_interfaces': args.listen,
        'outgoing_interfaces': ip,  # peer and tracker connections leave from this address
        'enable_dht': False,
        'enable_lsd': False,
        'enable_upnp': False,
        'enable_natpmp': False,
        # Several test peers share one loopback address; without this,
        # peers found through the tracker never connect.
        'allow_multiple_connections_per_ip': True,
        # uTP over loopback crawls at a few MB/s; TCP only.
        'enable_outgoing_utp': False,
        'enable_incoming_utp': False,
        'announce_to_all_trackers': True,
        'announce_to_all_tiers': True,
        'stop_tracker_timeout': 1,  # do not linger on the goodbye announce
        'upload_rate_limit': args.upload_limit * 1024,
        'alert_mask': lt.alert.category_t.error_notification | lt.alert.category_t.status_notification
                      | lt.alert.category_t.tracker_notification | lt.alert.category_t.connect_notification
                      | lt.alert.category_t.peer_notification,
    })
    ses = lt.session(settings)

    atp = lt.add_torrent_params()
    atp.ti = lt.torrent_info(args.torrent)
    atp.save_path = args.save
    if args.role == 'seed':
        atp.flags |= lt.torrent_flags.seed_mode  # trust the files, check pieces as they are sent
    handle = ses.add_torrent(atp)
    for peer in args.connect:
        peer_ip, peer_port = peer.rsplit(':', 1)
        handle.connect_peer((peer_ip, int(peer_port)))

    stop = []
    signal.signal(signal.SIGTERM, lambda *_: stop.append(1))
    signal.signal(signal.SIGINT, lambda *_: stop.append(1))

    def line(prefix, s):
        return ('%s state=%s progress=%.4f downloaded=%d uploaded=%d peers=%d' %
                (prefix, s.state, s.progress, s.total_payload_download, s.total_payload_upload, s.num_peers))

    deadline = time.time() + args.timeout if args.timeout > 0 else None
    next_status = 0.0
    last_shape, last_moved = None, None
    completed = False
    code = 0
    while not stop:
        for a in ses.pop_alerts():
            if isinstance(a, lt.listen_succeeded_alert):
                say('listening %s:%d' % (a.address, a.port))
            elif isinstance(a, lt.listen_failed_alert):
                say('error: listen: %s' % a.message())
                code = 2
            elif isinstance(a, (lt.file_error_alert, lt.torrent_error_alert)):
                say('error: %s' % a.message())
                code = 2
            elif isinstance(a, lt.tracker_reply_alert):
                say('announced: %s' % a.message())
            elif isinstance(a, (lt.tracker_error_alert, lt.tracker_warning_alert)):
                say('tracker: %s' % a.message())
            elif isinstance(a, (lt.peer_connect_alert, lt.peer_disconnected_alert, lt.peer_error_alert,
                                lt.peer_ban_alert, lt.hash_failed_alert)):
                say('peer: %s' % a.message())
        if code:
            break
        s = handle.status()
        now = time.time()
        # A status line when the state or the peers change, and while bytes
        # move at most one per interval; nothing while idle.
        shape = (s.state, s.num_peers)
        moved = (s.total_payload_download, s.total_payload_upload) != last_moved
        if shape != last_shape or (moved and now >= next_status):
            say(line('status:', s) + ' rate_down=%d rate_up=%d' % (s.download_payload_rate, s.upload_payload_rate))
            last_shape, last_moved = shape, (s.total_payload_download, s.total_payload_upload)
            next_status = now + args.interval
        if args.role == 'leech' and s.is_seeding and not completed:
            completed = True
            say('complete: downloaded=%d' % s.total_payload_download)
            if not args.keep_seeding:
                break
        if deadline is not None and now >= deadline:
            if args.role == 'leech' and not completed:
                say('error: timeout before the download completed')
                code = 1
            break
        time.sleep(0.1)

    say(line('final:', handle.status()))
    sys.exit(code)


if __name__ == '__main__':
    main()
