# Runs the README's recipes as written (the snippet after each "<!-- recipe: NAME -->") and the
# manual's examples against the demo: norvel-read on PATH is the real binary reading the mock
# bluetoothd's demo sensor, and the system paths the recipes name lie in a temporary directory.
#   usage: /usr/bin/python3 check_recipes.py NORVEL_READ CHECK   (CHECK: a name in CHECKS)
import json
import os
import pwd
import re
import socket
import subprocess
import sys
import tempfile
import time
import tomllib

import jinja2.sandbox
import prometheus_client.parser
import yaml

REPO = os.path.realpath(__file__ + "/../../..")
TMP = tempfile.TemporaryDirectory()
SYSTEM_PATHS = (
    "/run/lock",
    "/etc/telegraf",
    "/etc/norvel-read",
    "/var/lib/prometheus/node-exporter",
    "/var/lib/norvel-read",
    "/usr/local/bin",
)
# The demo sensor's reading (tools/mock_bluetoothd/demo-sensor.json) with its units dropped,
# and as metrics.
DEMO = {
    "address": "00000000-0000-8000-8000-C0FFEE123456",
    "name": "Norvel4 DEMO",
    "co2": 800,
    "temperature": 22.6,
    "humidity": 45,
    "pressure": 1013.3,
    "battery": 87,
    "status": "GREEN",
    "interval": 300,
    "age": 120,
}
METRICS = {
    "co2_ppm": 800,
    "temperature_celsius": 22.6,
    "humidity_ratio": 0.45,
    "pressure_pascals": 101330,
    "battery_ratio": 0.87,
    "status_level": 0,
    "interval_seconds": 300,
    "age_seconds": 120,
}
# The topic of an MQTT discovery config as Home Assistant matches it.
DISCOVERY_TOPIC = re.compile(
    r"homeassistant/(?P<component>\w+)/(?:(?P<node_id>[a-zA-Z0-9_-]+)/)?"
    r"(?P<object_id>[a-zA-Z0-9_-]+)/config"
)

MISSING_COMMAND = re.compile(r".*: Command (\S+) is not executable: No such file or directory")


def local(text):
    """The text with each system path moved into the temporary directory."""
    return re.sub("|".join(SYSTEM_PATHS), lambda path: TMP.name + path[0], text)


def recipe(name):
    """The README's snippet after "<!-- recipe: NAME -->"."""
    readme = open(REPO + "/README.md").read()
    return re.search(f"<!-- recipe: {name} -->\n```.*\n((?s:.*?))```", readme)[1]


def write(path, text):
    with open(local(path), "w") as file:
        file.write(text)


def run(command, stdin=None, env=None):
    """Runs a command line with sh (as cron, Telegraf's exec and systemd split it), with stdin
    as its input; returns its stdout."""
    if stdin is not None:
        stdin = local(stdin)
    result = subprocess.run(
        ["sh", "-c", local(command)],
        input=stdin,
        stdout=subprocess.PIPE,
        text=True,
        check=True,
        env=env,
    )
    return result.stdout


def render(template, **variables):
    """A template as Home Assistant renders it: Jinja in a sandbox."""
    return jinja2.sandbox.ImmutableSandboxedEnvironment().from_string(template).render(variables)


def installed_here(line):
    """Whether systemd-analyze's line is about a command missing from its real path that this
    test installed under the temporary directory."""
    match = MISSING_COMMAND.fullmatch(line)
    return match is not None and os.access(local(match[1]), os.X_OK)


def verify_units(*names):
    """Saves the README's systemd units and has systemd-analyze find nothing to say, but that
    a command installed here, under the temporary directory, is missing from the real path."""
    for name in names:
        write(f"{TMP.name}/{name}", recipe(name))
    found = run(f"cd {TMP.name} && systemd-analyze verify --man=no {' '.join(names)} 2>&1 || :")
    said = [line for line in found.splitlines() if not installed_here(line)]
    assert not said, found
    return {name: recipe(name) for name in names}


def home_assistant():
    """The state, each template sensor's number, unit and availability, and a command timeout
    that covers flock's wait and the run."""
    config = yaml.safe_load(recipe("home-assistant.yaml"))
    sensor = config["command_line"][0]["sensor"]
    document = json.loads(run(sensor["command"]))
    entity = "sensor." + sensor["name"].lower().replace(" ", "_")
    attributes = {(entity, key): document[key] for key in sensor["json_attributes"]}

    def state_attr(*key):
        return attributes.get(key)

    got = sorted(
        render(
            f"{t['state']} {t['unit_of_measurement']} {t['availability']}", state_attr=state_attr
        )
        for t in config["template"][0]["sensor"]
    )
    assert got == ["1013.3 hPa True", "22.6 °C True", "45.0 % True", "87.0 % True"], got
    assert render(sensor["value_template"], value_json=document) == "800", sensor
    assert sensor["command_timeout"] > 35, sensor


def telegraf():
    """The numbers jq gives, every member mapped by json_v2, and a long enough timeout."""
    run("cat >/etc/telegraf/norvel-numbers.jq", recipe("norvel-numbers.jq"))
    config = tomllib.loads(recipe("telegraf.conf"))["inputs"]["exec"][0]
    metrics = json.loads(run(*config["commands"]))
    parser = config["json_v2"][0]
    mapped = sorted(member["path"] for member in parser["field"] + parser["tag"])
    assert metrics == DEMO, metrics
    assert mapped == sorted(DEMO), mapped
    assert config["timeout"] == "40s", config


def prometheus():
    """The metrics in base units, each labelled with the sensor's address and name."""
    script = "/usr/local/bin/norvel-textfile"
    run(f"cat >{script} && chmod +x {script}", recipe("norvel-textfile"))
    text = run("norvel-textfile && cat /var/lib/prometheus/node-exporter/norvel.prom")
    families = prometheus_client.parser.text_string_to_metric_families(text)
    got = {
        (sample.name, sample.value, sample.labels["address"], sample.labels["name"])
        for family in families
        for sample in family.samples
    }
    expected = {
        ("norvel_" + metric, value, DEMO["address"], DEMO["name"])
        for metric, value in METRICS.items()
    }
    assert got == expected, text


def crontab(line=None):
    """cron and systemd keep what the tool prints, and no other file, in the state folder
    (here also $HOME)."""
    line = line or recipe("crontab")
    minute, _hour, _day, _month, _weekday, command = line.split(None, 5)
    assert minute == "*/5", line
    # Both give % a meaning.
    assert "%" not in command, line
    assert not run(command), line
    kept = run("ls /var/lib/norvel-read; cat /var/lib/norvel-read/*")
    assert kept == "air.json\n" + run("norvel-read"), kept


def systemd():
    units = verify_units("norvel-read.service", "norvel-read.timer")
    command = re.search("ExecStart=(.*)", units["norvel-read.service"])[1]
    crontab("*/5 * * * * " + command)


class Broker:
    """Debian's Mosquitto on a free port of 127.0.0.1, with one account; the clients here are
    mosquitto_sub, as a Home Assistant that is running (a live subscription) or that starts
    (the retained messages)."""

    def __init__(self, user, password):
        self.user, self.password = user, password
        self.folder = tempfile.mkdtemp(dir=TMP.name)
        with socket.socket() as probe:
            probe.bind(("127.0.0.1", 0))
            self.port = probe.getsockname()[1]
        passwords = f"{self.folder}/passwords"
        subprocess.run(["mosquitto_passwd", "-c", "-b", passwords, user, password], check=True)
        write(
            f"{self.folder}/mosquitto.conf",
            f"listener {self.port} 127.0.0.1\nallow_anonymous false\npassword_file {passwords}\n"
            f"persistence false\nlog_type all\nuser {pwd.getpwuid(os.getuid()).pw_name}\n",
        )
        self.log = open(f"{self.folder}/log", "w+")
        self.process = subprocess.Popen(
            ["mosquitto", "-c", f"{self.folder}/mosquitto.conf"],
            stdout=self.log,
            stderr=subprocess.STDOUT,
        )
        self.wait_for(self.accepts_connections, "the broker to listen")

    def __enter__(self):
        return self

    def __exit__(self, *_):
        self.process.terminate()
        self.process.wait(10)
        self.log.close()

    def wait_for(self, condition, what):
        deadline = time.monotonic() + 10
        while not condition():
            assert time.monotonic() < deadline, f"waited in vain for {what}"
            time.sleep(0.05)

    def accepts_connections(self):
        try:
            socket.create_connection(("127.0.0.1", self.port)).close()
            return True
        except ConnectionRefusedError:
            return False

    def subscriber(self, topic, *options):
        return [
            "mosquitto_sub",
            *("-h", "127.0.0.1", "-p", str(self.port), "-u", self.user, "-P", self.password),
            *("-t", topic, "-F", "%t %p", *options),
        ]

    def subscribe_once(self, topic):
        """A live subscription that takes one message; it is in place when this returns."""
        subscriptions = self.subscriptions()
        client = subprocess.Popen(
            self.subscriber(topic, "-C", "1", "-W", "30"), stdout=subprocess.PIPE, text=True
        )
        self.wait_for(lambda: self.subscriptions() > subscriptions, "the subscription")
        return client

    def subscriptions(self):
        self.log.seek(0)
        return self.log.read().count("Received SUBSCRIBE")

    def retained(self, topic):
        """Topic and payload of each message retained under the topic, as a new subscriber
        gets them."""
        client = subprocess.run(
            self.subscriber(topic, "--retained-only", "-W", "2"),
            stdout=subprocess.PIPE,
            stderr=subprocess.DEVNULL,
            text=True,
        )
        return [line.split(" ", 1) for line in client.stdout.splitlines()]


def mqtt():
    """Home Assistant OS over MQTT: the service runs the script as systemd would (the account
    file as its credential) against a real broker; a Home Assistant that starts then finds a
    retained discovery config for each entity, and the reading on their state topic gives
    each entity its state through its template."""
    script = "/usr/local/bin/norvel-mqtt"
    run(f"cat >{script} && chmod +x {script}", recipe("norvel-mqtt"))
    service = verify_units("norvel-mqtt.service", "norvel-mqtt.timer")["norvel-mqtt.service"]
    assert re.search("ExecStart=(.*)", service)[1] == script, service
    assert int(re.search("TimeoutStartSec=(.*)", service)[1]) > 35, service
    account = dict(line.split(" ", 1) for line in recipe("mosquitto_pub").splitlines())
    assert sorted(account) == ["-P", "-h", "-p", "-u"], account

    with Broker(account["-u"], account["-P"]) as broker:
        # What each user changes: the broker's address.
        account.update({"-h": "127.0.0.1", "-p": str(broker.port)})
        credential, source = re.search("LoadCredential=(.*):(.*)", service).groups()
        write(source, "".join(f"{option} {value}\n" for option, value in account.items()))
        credentials = tempfile.mkdtemp(dir=TMP.name)
        run(f"cp {source} {credentials}/{credential}")

        state_client = broker.subscribe_once("norvel-read/#")
        run(script, env=dict(os.environ, CREDENTIALS_DIRECTORY=credentials))
        state_topic, state = state_client.communicate(timeout=30)[0].split(" ", 1)
        configs = broker.retained("homeassistant/#")

    reading = json.loads(state)
    assert reading == json.loads(run("norvel-read")), state
    states, unique_ids = {}, set()
    for topic, payload in configs:
        match = DISCOVERY_TOPIC.fullmatch(topic)
        assert match and match["component"] == "sensor", topic
        config = json.loads(payload)
        assert config["state_topic"] == state_topic, config
        assert config["device"]["identifiers"] == [DEMO["address"]], config
        assert config["expire_after"] > 300, config
        entity_state = render(config["value_template"], value_json=reading)
        assert "options" not in config or entity_state in config["options"], config
        states[config["name"]] = (entity_state, config.get("unit_of_measurement"))
        unique_ids.add(config["unique_id"])
    assert len(unique_ids) == len(configs), "two entities share a unique_id"
    assert states == {
        "CO2": ("800", "ppm"),
        "Temperature": ("22.6", "°C"),
        "Humidity": ("45.0", "%"),
        "Pressure": ("1013.3", "hPa"),
        "Battery": ("87.0", "%"),
        "CO2 level": ("GREEN", None),
    }, states


def manual():
    text = open(REPO + "/docs/norvel-read.1").read().replace("\\-", "-").replace("\\(aq", "'")
    examples = re.findall(r"^\$ (.*\| jq .*)$", text, re.M)
    assert [run(example) for example in examples] == ["800\n", "22.6\n"], text
    crontab_lines = re.findall(r"^\*/5 .*$", text, re.M)
    assert crontab_lines == recipe("crontab").splitlines(), "the manual's crontab line differs"


CHECKS = {
    "home-assistant": home_assistant,
    "telegraf": telegraf,
    "prometheus": prometheus,
    "crontab": crontab,
    "systemd": systemd,
    "mqtt": mqtt,
    "manual": manual,
}


def install_demo(binary):
    """Puts the system folders in place and, on PATH, a norvel-read that runs the binary
    against the mock bluetoothd's demo sensor."""
    os.environ.update(
        PATH=local("/usr/local/bin:") + os.environ["PATH"], HOME=local("/var/lib/norvel-read")
    )
    run(f"mkdir -p {' '.join(SYSTEM_PATHS)}")
    demo = (
        f"#!/bin/sh\nexec env PYTHONPATH={REPO} /usr/bin/python3"
        f" -m tools.mock_bluetoothd.private_bus"
        f' --scenario {REPO}/tools/mock_bluetoothd/demo-sensor.json -- {binary} "$@"\n'
    )
    run("cat >/usr/local/bin/norvel-read && chmod +x /usr/local/bin/norvel-read", demo)


if __name__ == "__main__":
    binary, check = sys.argv[1:]
    install_demo(os.path.abspath(binary))
    CHECKS[check]()
