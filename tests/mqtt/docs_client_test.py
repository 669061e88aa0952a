"""The cloud-side client of docs/mqtt.md, taken from the page as it is and
run against a mosquitto of the test's own: it prints a receipt once, the
same requestId again is answered from the ledger, and the page's tables
name every option brenvikd has for MQTT."""
import argparse
import json
import os
import re
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from mqtt_support import SHOP, Broker, start_simulator, start_daemon, workdir  # noqa: E402

PAGE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "docs", "mqtt.md")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    args = parser.parse_args()
    with open(PAGE, encoding="utf-8") as f:
        page = f.read()
    blocks = re.findall(r"```python\n(.*?)```", page, re.S)
    assert len(blocks) == 1, "docs/mqtt.md should hold one Python block, not %d" % len(blocks)
    directory = workdir("mqtt-docs")
    script = os.path.join(directory, "cloud_receipt.py")
    with open(script, "w") as f:
        f.write(blocks[0])
    # Every --mqtt option of the program is on the page.
    help_text = subprocess.run([os.path.join(args.build, "service", "brenvikd"), "--help"], capture_output=True,
                               text=True).stdout
    options = set(re.findall(r"(--(?:mqtt|shop)[a-z-]*)", help_text))
    missing = sorted(o for o in options if "`%s" % o not in page)
    assert not missing, "docs/mqtt.md does not name %s" % missing

    broker = Broker(directory)
    sim = start_simulator(args.build, directory)
    daemon = start_daemon(args.build, directory, sim, broker)
    try:
        def client(*extra):
            done = subprocess.run([sys.executable, script, "--host", "127.0.0.1", "--port", str(broker.port),
                                   "--shop", SHOP, "--printer", "main", "--again", "3", "--timeout", "60", *extra],
                                  capture_output=True, text=True, timeout=90)
            assert done.returncode == 0, (done.returncode, done.stdout, done.stderr)
            return json.loads(done.stdout)
        first = client("--request-id", "docs-1")
        assert first["state"] == "closed" and first["httpStatus"] == 200 and first["checkNumber"] > 0, first
        again = client("--request-id", "docs-1")
        assert again.get("repeated") is True and again["checkNumber"] == first["checkNumber"], again
        assert sim.state()["day_sale_checks"] == 1, sim.state()
        fresh = client()
        assert fresh["checkNumber"] == first["checkNumber"] + 1, fresh
    finally:
        daemon.stop()
        sim.stop()
        broker.stop()
    print("the client of docs/mqtt.md printed once and was answered again from the ledger")
    return 0


if __name__ == "__main__":
    sys.exit(main())
