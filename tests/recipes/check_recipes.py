# Runs the README's recipes as written (the snippet after each "<!-- recipe: NAME -->") and the
# manual's examples against the demo: norvel-read on PATH is the real binary reading the mock
# bluetoothd's demo sensor, and the system paths the recipes name lie in a temporary directory.
#   usage: /usr/bin/python3 check_recipes.py NORVEL_READ CHECK   (CHECK: a name in CHECKS)
import contextlib
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
SYSTEM_PATHS = ("/run/lock", "/etc/telegraf", "/etc/norvel-read", "/usr/local/bin",
                "/var/lib/prometheus/node-exporter", "/var/lib/norvel-read")  # fmt: skip
# The demo sensor's reading (tools/mock_bluetoothd/demo-sensor.json) with its units dropped,
# and as metrics.
# fmt: off
DEMO = {"address": "00000000-0000-8000-8000-C0FFEE123456", "name": "Norvel4 DEMO", "co2": 800,
        "temperature": 22.6, "humidity": 45, "pressure": 1013.3, "battery": 87, "status": "GREEN",
        "interval": 300, "age": 120}
METRICS = {"co2_ppm": 800, "temperature_celsius": 22.6, "humidity_ratio": 0.45,
           "pressure_pascals": 101330, "battery_ratio": 0.87, "status_level": 0,
           "interval_seconds": 300, "age_seconds": 120}
# Each MQTT entity's state and unit as Home Assistant shows them.
MQTT_STATES = {"CO2": ("800", "ppm"), "Temperature": ("22.6", "°C"), "Humidity": ("45.0", "%"),
               "Pressure": ("1013.3", "hPa"), "Battery": ("87.0", "%"),
               "CO2 level": ("GREEN", None)}
# fmt: on
# The topic of an MQTT discovery config as Home Assistant matches it.
DISCOVERY_TOPIC = re.compile(r"homeassistant/sensor/([a-zA-Z0-9_-]+/)?[a-zA-Z0-9_-]+/config")
MISSING_COMMAND = re.compile(r".*: Command (\S+) is not executable: No such file or directory")


# The text with each system path moved into the temporary directory.
def local(text):
    return re.sub("|".join(SYSTEM_PATHS), lambda path: TMP.name + path[0], text)


def recipe(name):
    readme = open(REPO + "/README.md").read()
    return re.search(f"<!-- recipe: {name} -->\n```.*\n((?s:.*?))```", readme)[1]


# Runs a command line with sh (as cron, Telegraf's exec and systemd split it), the text stdin
# on its input; returns its stdout.
def run(command, stdin=None, env=None):
    stdin = None if stdin is None else local(stdin)
    return subprocess.check_output(["sh", "-c", local(command)], input=stdin, text=True, env=env)


def install(path, text):
    run(f"cat >{path} && chmod +x {path}", text)


# A template as Home Assistant renders it: Jinja in a sandbox.
def render(template, **variables):
    return jinja2.sandbox.ImmutableSandboxedEnvironment().from_string(template).render(variables)


# Saves the README's systemd units; systemd-analyze may only say that a command is missing
# that this test installed under the temporary directory.
def verify_units(*names):
    for name in names:
        run(f"cat >{TMP.name}/{name}", recipe(name))
    found = run(f"cd {TMP.name} && systemd-analyze verify --man=no {' '.join(names)} 2>&1 || :")
    assert all(installed_here(line) for line in found.splitlines()), found
    return {name: recipe(name) for name in names}


def installed_here(line):
    match = MISSING_COMMAND.fullmatch(line)
    return match is not None and os.access(local(match[1]), os.X_OK)


# The state, each template sensor's number, unit and availability, and a command timeout that
# covers flock's wait and the run.
def home_assistant():
    config = yaml.safe_load(recipe("home-assistant.yaml"))
    sensor = config["command_line"][0]["sensor"]
    document = json.loads(run(sensor["command"]))
    entity = "sensor." + sensor["name"].lower().replace(" ", "_")
    attributes = {(entity, key): document[key] for key in sensor["json_attributes"]}

    def state_attr(*key):
        return attributes.get(key)

    templates = config["template"][0]["sensor"]
    shown = [f"{t['state']} {t['unit_of_measurement']} {t['availability']}" for t in templates]
    got = sorted(render(text, state_attr=state_attr) for text in shown)
    assert got == ["1013.3 hPa True", "22.6 °C True", "45.0 % True", "87.0 % True"], got
    assert render(sensor["value_template"], value_json=document) == "800", sensor
    assert sensor["command_timeout"] > 35, sensor


# The numbers jq gives, every member mapped by json_v2, and a long enough timeout.
def telegraf():
    run("cat >/etc/telegraf/norvel-numbers.jq", recipe("norvel-numbers.jq"))
    config = tomllib.loads(recipe("telegraf.conf"))["inputs"]["exec"][0]
    parser = config["json_v2"][0]
    mapped = sorted(member["path"] for member in parser["field"] + parser["tag"])
    assert json.loads(run(*config["commands"])) == DEMO, config
    assert mapped == sorted(DEMO) and config["timeout"] == "40s", config


# The metrics in base units, each labelled with the sensor's address and name.
def prometheus():
    install("/usr/local/bin/norvel-textfile", recipe("norvel-textfile"))
    text = run("norvel-textfile && cat /var/lib/prometheus/node-exporter/norvel.prom")
    families = prometheus_client.parser.text_string_to_metric_families(text)
    samples = [sample for family in families for sample in family.samples]
    got = {(s.name, s.value, s.labels["address"], s.labels["name"]) for s in samples}
    expected = {("norvel_" + m, v, DEMO["address"], DEMO["name"]) for m, v in METRICS.items()}
    assert got == expected, text


# cron and systemd keep what the tool prints, and no other file, in the state folder (here
# also $HOME). Both give % a meaning, so the command has none.
def crontab(line=None):
    line = line or recipe("crontab")
    minute, _hour, _day, _month, _weekday, command = line.split(None, 5)
    assert minute == "*/5" and "%" not in command and not run(command), line
    kept = run("ls /var/lib/norvel-read; cat /var/lib/norvel-read/*")
    assert kept == "air.json\n" + run("norvel-read"), kept


def systemd():
    units = verify_units("norvel-read.service", "norvel-read.timer")
    crontab("*/5 * * * * " + re.search("ExecStart=(.*)", units["norvel-read.service"])[1])


# Debian's Mosquitto on a free port of 127.0.0.1 with one account, running as this user.
@contextlib.contextmanager
def mosquitto(user, password):
    folder = tempfile.mkdtemp(dir=TMP.name)
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    subprocess.run(["mosquitto_passwd", "-c", "-b", f"{folder}/users", user, password], check=True)
    settings = f"listener {port} 127.0.0.1\nallow_anonymous false\npassword_file {folder}/users\n"
    run(f"cat >{folder}/conf", settings + f"user {pwd.getpwuid(os.getuid()).pw_name}\n")
    broker = subprocess.Popen(["mosquitto", "-c", f"{folder}/conf"], stderr=subprocess.DEVNULL)
    try:
        deadline = time.monotonic() + 10
        while not listening(port):
            assert time.monotonic() < deadline, "the broker does not listen"
            time.sleep(0.05)
        yield port
    finally:
        broker.terminate()
        broker.wait()


def listening(port):
    with socket.socket() as client:
        return client.connect_ex(("127.0.0.1", port)) == 0


# Home Assistant OS over MQTT: the service runs the script as systemd would (the account file
# as its credential) against a real broker. A Home Assistant that starts then gets, retained,
# a discovery config for each entity and the reading on their state topic, which gives each
# entity its state through its template.
def mqtt():
    install("/usr/local/bin/norvel-mqtt", recipe("norvel-mqtt"))
    service = verify_units("norvel-mqtt.service", "norvel-mqtt.timer")["norvel-mqtt.service"]
    assert re.search("ExecStart=(.*)", service)[1] == "/usr/local/bin/norvel-mqtt", service
    assert int(re.search("TimeoutStartSec=(.*)", service)[1]) > 35, service
    account = dict(line.split(" ", 1) for line in recipe("mosquitto_pub").splitlines())
    assert sorted(account) == ["-P", "-h", "-p", "-u"], account
    with mosquitto(account["-u"], account["-P"]) as port:
        # What every user changes: the broker's address.
        account.update({"-h": "127.0.0.1", "-p": str(port)})
        credential, source = re.search("LoadCredential=(.*):(.*)", service).groups()
        run(f"cat >{source}", "".join(f"{option} {value}\n" for option, value in account.items()))
        credentials = tempfile.mkdtemp(dir=TMP.name)
        run(f"cp {source} {credentials}/{credential}")
        run("norvel-mqtt", env=dict(os.environ, CREDENTIALS_DIRECTORY=credentials))
        subscriber = ["mosquitto_sub", "-h", "127.0.0.1", "-p", str(port), "-u", account["-u"]]
        topics = ["-P", account["-P"], "-t", "homeassistant/#", "-t", "norvel-read/#"]
        retained = ["--retained-only", "-W", "2", "-F", "%J"]
        received = subprocess.run(subscriber + topics + retained, capture_output=True)
    messages = {m["topic"]: m["payload"] for m in map(json.loads, received.stdout.splitlines())}
    configs = [payload for topic, payload in messages.items() if DISCOVERY_TOPIC.fullmatch(topic)]
    document, states = json.loads(run("norvel-read")), {}
    for config in configs:
        reading = messages.get(config["state_topic"])
        assert reading == document, messages
        assert config["device"]["identifiers"] == [DEMO["address"]], config
        assert config["expire_after"] > 300, config
        state = render(config["value_template"], value_json=reading)
        assert "options" not in config or state in config["options"], config
        states[config["name"]] = (state, config.get("unit_of_measurement"))
    assert len({config["unique_id"] for config in configs}) == len(configs), configs
    assert states == MQTT_STATES, states


def manual():
    text = open(REPO + "/docs/norvel-read.1").read().replace("\\-", "-").replace("\\(aq", "'")
    examples = re.findall(r"^\$ (.*\| jq .*)$", text, re.M)
    assert [run(example) for example in examples] == ["800\n", "22.6\n"], text
    crontab_lines = re.findall(r"^\*/5 .*$", text, re.M)
    assert crontab_lines == recipe("crontab").splitlines(), "the manual's crontab line differs"


# fmt: off
CHECKS = {"home-assistant": home_assistant, "telegraf": telegraf, "prometheus": prometheus,
          "crontab": crontab, "systemd": systemd, "mqtt": mqtt, "manual": manual}
# fmt: on


# The system folders, and on PATH a norvel-read that runs the binary against the mock
# bluetoothd's demo sensor.
def install_demo(binary):
    os.environ.update(PATH=local("/usr/local/bin:") + os.environ["PATH"])
    os.environ.update(HOME=local("/var/lib/norvel-read"))
    run(f"mkdir -p {' '.join(SYSTEM_PATHS)}")
    mock = "/usr/bin/python3 -m tools.mock_bluetoothd.private_bus --scenario"
    scenario = f"{REPO}/tools/mock_bluetoothd/demo-sensor.json"
    demo = f'#!/bin/sh\nexec env PYTHONPATH={REPO} {mock} {scenario} -- {binary} "$@"\n'
    install("/usr/local/bin/norvel-read", demo)


if __name__ == "__main__":
    binary, check = sys.argv[1:]
    install_demo(os.path.abspath(binary))
    CHECKS[check]()
