# Runs the README's recipes as written (the snippet after each "<!-- recipe: NAME -->") and the
# manual's examples against the demo: norvel-read on PATH is the real binary reading the mock
# bluetoothd's demo sensor, and the system paths the recipes name lie in a temporary directory.
#   usage: /usr/bin/python3 check_recipes.py NORVEL_READ CHECK   (CHECK: a function below)
import json, os, re, subprocess, sys, tempfile, tomllib
import jinja2, prometheus_client.parser, yaml

REPO, TMP = os.path.realpath(__file__ + '/../../..'), tempfile.TemporaryDirectory()
SYSTEM = '/run/lock|/etc/telegraf|/var/lib/prometheus/node-exporter|/var/lib/norvel-read|/usr/local/bin'
# The demo sensor's reading (tools/mock_bluetoothd/demo-sensor.json) with its units dropped, and as metrics.
DEMO = {'address': '00000000-0000-8000-8000-C0FFEE123456', 'name': 'Norvel4 DEMO', 'co2': 800, 'temperature': 22.6,
        'humidity': 45, 'pressure': 1013.3, 'battery': 87, 'status': 'GREEN', 'interval': 300, 'age': 120}
METRICS = {'co2_ppm': 800, 'temperature_celsius': 22.6, 'humidity_ratio': 0.45, 'pressure_pascals': 101330,
           'battery_ratio': 0.87, 'status_level': 0, 'interval_seconds': 300, 'age_seconds': 120}
local = lambda text: re.sub(SYSTEM, lambda path: TMP.name + path[0], text)
recipe = lambda name: re.search(f'<!-- recipe: {name} -->\n```.*\n((?s:.*?))```', open(REPO + '/README.md').read())[1]


# Runs a command line with sh (as cron, Telegraf's exec and systemd split it) on stdin; returns its stdout.
def run(command, stdin=None):
    return subprocess.run(['sh', '-c', local(command)], input=stdin and local(stdin), stdout=subprocess.PIPE,
                          text=True, check=True).stdout


# The state, each template sensor's number, unit and availability, and a command timeout that covers
# flock's wait and the run.
def home_assistant():
    sensor = (ha := yaml.safe_load(recipe('home-assistant.yaml')))['command_line'][0]['sensor']
    document, entity = json.loads(run(sensor['command'])), 'sensor.' + sensor['name'].lower().replace(' ', '_')
    there = {(entity, key): document[key] for key in sensor['json_attributes']}
    show = lambda text: jinja2.Template(text).render(value_json=document, state_attr=lambda *key: there.get(key))
    got = sorted(show('{state} {unit_of_measurement} {availability}'.format(**t)) for t in ha['template'][0]['sensor'])
    assert got == ['1013.3 hPa True', '22.6 °C True', '45.0 % True', '87.0 % True'], got
    assert show(sensor['value_template']) == '800' and sensor['command_timeout'] > 35, sensor


# The numbers jq gives, every member mapped by json_v2, and a long enough timeout.
def telegraf():
    run('cat >/etc/telegraf/norvel-numbers.jq', recipe('norvel-numbers.jq'))
    config = tomllib.loads(recipe('telegraf.conf'))['inputs']['exec'][0]
    metrics, mapped = json.loads(run(*config['commands'])), config['json_v2'][0]['field'] + config['json_v2'][0]['tag']
    assert metrics == DEMO and sorted(m['path'] for m in mapped) == sorted(DEMO) and config['timeout'] == '40s', mapped


# The metrics in base units, each labelled with the sensor's address and name.
def prometheus():
    run('cat >/usr/local/bin/norvel-textfile && chmod +x /usr/local/bin/norvel-textfile', recipe('norvel-textfile'))
    text = run('norvel-textfile && cat /var/lib/prometheus/node-exporter/norvel.prom')
    samples = [s for family in prometheus_client.parser.text_string_to_metric_families(text) for s in family.samples]
    assert {(s.name, s.value, s.labels['address'], s.labels['name']) for s in samples} == {
        ('norvel_' + metric, value, DEMO['address'], DEMO['name']) for metric, value in METRICS.items()}, text


# cron and systemd keep what the tool prints, and no other file, in the state folder (here also $HOME).
def crontab(line=None):
    minute, *_, command = (line or recipe('crontab')).split(None, 5)
    assert minute == '*/5' and '%' not in command and not run(command), line  # both give % a meaning
    assert run('ls /var/lib/norvel-read; cat /var/lib/norvel-read/*') == 'air.json\n' + run('norvel-read')


def systemd():
    for unit in ('norvel-read.service', 'norvel-read.timer'):
        open(f'{TMP.name}/{unit}', 'w').write(recipe(unit))
    assert not run(f'cd {TMP.name} && systemd-analyze verify --man=no norvel-read.service norvel-read.timer 2>&1')
    crontab('*/5 * * * * ' + re.search('ExecStart=(.*)', recipe('norvel-read.service'))[1])


def manual():
    text = open(REPO + '/docs/norvel-read.1').read().replace('\\-', '-').replace('\\(aq', "'")
    assert [run(example) for example in re.findall(r'^\$ (.*\| jq .*)$', text, re.M)] == ['800\n', '22.6\n'], text
    assert re.findall(r'^\*/5 .*$', text, re.M) == recipe('crontab').splitlines(), "the manual's crontab line differs"


os.environ.update(PATH=local('/usr/local/bin:') + os.environ['PATH'], HOME=local('/var/lib/norvel-read'))
run(f"mkdir -p {SYSTEM.replace('|', ' ')} && cat >/usr/local/bin/norvel-read && chmod +x /usr/local/bin/norvel-read",
    f'#!/bin/sh\nexec env PYTHONPATH={REPO} /usr/bin/python3 -m tools.mock_bluetoothd.private_bus --scenario '
    f'{REPO}/tools/mock_bluetoothd/demo-sensor.json -- {os.path.abspath(sys.argv[1])} "$@"\n')
globals()[sys.argv[2].replace('-', '_')]()
