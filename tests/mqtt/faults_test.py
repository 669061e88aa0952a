"""Exactly once through faults on the MQTT road: the broker killed and
started again mid-receipt, brenvikd killed with SIGKILL mid-receipt and
started again, and the broker frozen (the network to it cut) for longer
than the keep-alive. After each, every requestId has its result, and the
printer's paper equals the results: one check per closed receipt."""
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from mqtt_support import (run_cases, Broker, Cloud, check_paper, receipt, start_daemon, start_simulator,  # noqa: E402
                          wait_for, workdir)


class FaultsTest:
    def __init__(self, build):
        self.dir = workdir("mqtt-faults")
        self.broker = Broker(self.dir)
        # Some printing time per line: a fault lands while a check is open.
        self.sim = start_simulator(build, self.dir, "--print-delay", "30")
        self.daemon = start_daemon(build, self.dir, self.sim, self.broker)
        self.cloud = Cloud(self.broker)
        self.next = 0
        self.numbers = []

    def batch(self, count):
        numbers = list(range(self.next, self.next + count))
        self.next += count
        self.numbers += numbers
        for n in numbers:
            self.cloud.send("main", "receipt", receipt(n))
        return numbers

    def mid_receipt(self):
        wait_for(lambda: self.sim.state()["check_open"], 20, "a check open on the printer")

    def settle(self, numbers):
        # A request the broker lost before it was saved is sent again, as
        # the documented client does; it prints once all the same.
        self.cloud.wait(["m-%04d" % n for n in numbers], 60, again=3)
        problems = check_paper(self.sim, self.cloud, self.numbers)
        assert problems == [], problems

    def case_broker_killed_mid_receipt(self):
        numbers = self.batch(6)
        self.mid_receipt()
        self.broker.kill()
        time.sleep(1)
        self.broker.start()
        self.settle(numbers)

    def case_service_killed_mid_receipt(self):
        numbers = self.batch(6)
        self.mid_receipt()
        self.daemon.kill9()
        self.daemon.start()
        self.settle(numbers)

    def case_broker_away_longer_than_keepalive(self):
        numbers = self.batch(6)
        self.mid_receipt()
        self.broker.freeze()
        # Keep-alive 5 s: the service finds the broker gone (after one and a
        # half of it) and keeps printing meanwhile.
        time.sleep(9)
        self.broker.thaw()
        self.settle(numbers)

    def cleanup(self):
        self.cloud.close()
        self.daemon.stop()
        self.sim.stop()
        self.broker.stop()


if __name__ == "__main__":
    sys.exit(run_cases(FaultsTest))
