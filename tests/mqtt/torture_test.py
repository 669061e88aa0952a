"""Exactly once through MQTT, tortured: several cloud publishers send about
500 receipts through mosquitto (some twice), while the simulated printer
loses, cuts, garbles and refuses replies, the broker is killed with SIGKILL
and started again, and so is brenvikd. A publisher sends again what has no
result after a while, as the documented client does. At the end every
requestId has a result, all its results are alike, and the printer's paper
equals them: no receipt printed twice, none printed that was answered as
not printed, none lost."""
import argparse
import os
import random
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from mqtt_support import Broker, Cloud, start_simulator, check_paper, receipt, start_daemon, workdir  # noqa: E402

FAULTS = ["next silent", "next cut {n}", "next noise", "next error SOFTPAPER",
          "next done-and-error SOFTPAPER", "next cut-end {n}", "next trailing 3"]


class Torture:
    def __init__(self, args):
        self.args = args
        self.dir = workdir("mqtt-torture")
        self.broker = Broker(self.dir)
        self.sim = start_simulator(args.build, self.dir, "--print-delay", "1")
        self.daemon = start_daemon(args.build, self.dir, self.sim, self.broker, "--queue", "32")
        self.clouds = [Cloud(self.broker, "pos%d" % i) for i in range(args.publishers)]
        self.sending = threading.Event()
        self.counts = {"sent": 0, "sent again": 0, "faults": 0, "broker kills": 0, "service kills": 0}
        self.lock = threading.Lock()

    def count(self, key):
        with self.lock:
            self.counts[key] += 1

    def publisher(self, index, rng):
        cloud = self.clouds[index]
        for n in range(index, self.args.count, self.args.publishers):
            cloud.send("main", "receipt", receipt(n))
            self.count("sent")
            if rng.random() < self.args.repeats:
                cloud.send("main", "receipt", receipt(n))
                self.count("sent again")
            time.sleep(rng.uniform(0, 2 * self.args.gap))

    def faults(self, rng):
        while self.sending.is_set():
            time.sleep(rng.uniform(0.05, 0.4))
            try:
                self.sim.control(rng.choice(FAULTS).format(n=rng.randint(0, 12)))
                self.count("faults")
            except (OSError, ValueError):
                pass

    def killer(self, rng):
        kinds = ["broker"] * self.args.broker_kills + ["service"] * self.args.service_kills
        rng.shuffle(kinds)
        for kind in kinds:
            time.sleep(rng.uniform(1.0, 3.0))
            if kind == "broker":
                self.broker.kill()
                time.sleep(rng.uniform(0.2, 1.5))
                self.broker.start()
                self.count("broker kills")
            else:
                self.daemon.kill9()
                self.daemon.start()
                self.count("service kills")

    def run(self):
        started = time.monotonic()
        self.sending.set()
        publishers = [threading.Thread(target=self.publisher, args=(i, random.Random(self.args.seed * 10 + i)))
                      for i in range(self.args.publishers)]
        helpers = [threading.Thread(target=self.faults, args=(random.Random(self.args.seed + 1),)),
                   threading.Thread(target=self.killer, args=(random.Random(self.args.seed + 2),))]
        for t in publishers + helpers:
            t.start()
        for t in publishers + helpers[1:]:
            t.join()
        self.sending.clear()
        helpers[0].join()
        self.sim.control("clear")
        for i, cloud in enumerate(self.clouds):
            mine = ["m-%04d" % n for n in range(i, self.args.count, self.args.publishers)]
            cloud.wait(mine, max(10.0, self.args.seconds - (time.monotonic() - started)), again=5)
        return time.monotonic() - started

    def verify(self):
        merged = Cloud.__new__(Cloud)
        merged.lock = threading.Lock()
        merged.results = {}
        for cloud in self.clouds:
            for rid, results in cloud.results.items():
                merged.results.setdefault(rid, []).extend(results)
        problems = check_paper(self.sim, merged, range(self.args.count))
        statuses = {}
        for results in merged.results.values():
            statuses[results[0]["httpStatus"]] = statuses.get(results[0]["httpStatus"], 0) + 1
        return problems, statuses, sum(len(r) for r in merged.results.values())

    def cleanup(self):
        for cloud in self.clouds:
            cloud.close()
        self.daemon.stop()
        self.sim.stop()
        self.broker.stop()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--count", type=int, default=500)
    parser.add_argument("--publishers", type=int, default=4)
    parser.add_argument("--gap", type=float, default=0.05, help="mean seconds between one publisher's receipts")
    parser.add_argument("--repeats", type=float, default=0.1)
    parser.add_argument("--broker-kills", type=int, default=3)
    parser.add_argument("--service-kills", type=int, default=4)
    parser.add_argument("--seconds", type=float, default=150)
    parser.add_argument("--seed", type=int, default=int(os.environ.get("TORTURE_SEED", "7")))
    args = parser.parse_args()
    torture = Torture(args)
    try:
        elapsed = torture.run()
        problems, statuses, results = torture.verify()
    finally:
        torture.cleanup()
    print("mqtt torture: seed %d, %.1f s, %d publishers, %d receipts" % (args.seed, elapsed, args.publishers,
                                                                       args.count))
    for key, value in torture.counts.items():
        print("  %-14s %s" % (key, value))
    print("  results        %d (by status of the first: %s)" % (results, dict(sorted(statuses.items()))))
    for problem in problems[:50]:
        print("PROBLEM " + problem)
    print("%d problems (%s)" % (len(problems), torture.dir))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
