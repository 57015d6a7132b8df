'''Runs the README's recipes, as written there, against the demo's output.

Every snippet that follows a "<!-- recipe: NAME -->" line in README.md is taken from there;
norvel-read on PATH is the real binary reading the demo's emulated sensor from the mock
bluetoothd, and the system paths the recipes name are mapped into a temporary directory.

  /usr/bin/python3 check_recipes.py --list
  /usr/bin/python3 check_recipes.py --binary build/src/norvel-read RECIPE
'''

import argparse
import json
import os
import re
import shlex
import stat
import subprocess
import sys
import tempfile
import tomllib
from pathlib import Path

import jinja2
import yaml
from prometheus_client.parser import text_string_to_metric_families

REPO = Path(__file__).resolve().parents[2]
# The demo sensor's record (tools/mock_bluetoothd/demo-sensor.json), as numbers.
DEMO = {'address': '00000000-0000-8000-8000-C0FFEE123456', 'name': 'Norvel4 DEMO', 'co2': 800,
        'temperature': 22.6, 'humidity': 45, 'pressure': 1013.3, 'battery': 87, 'status': 'GREEN',
        'interval': 300, 'age': 120}
UNITS = {'temperature': '°C', 'humidity': '%', 'pressure': 'hPa', 'battery': '%'}
TOOL_SECONDS = 15
LOCK_WAIT = 20


class Failure(Exception):
    pass


def expect(condition, message):
    if not condition:
        raise Failure(message)


def recipe(name):
    text = (REPO / 'README.md').read_text(encoding='utf-8')
    found = re.search(r'<!-- recipe: ' + re.escape(name) + r' -->\n```[\w-]*\n(.*?)```', text, re.S)
    expect(found, f'README.md has no recipe {name!r}')
    return found.group(1)


class Bench:
    '''A temporary directory holding the system paths the recipes use and a norvel-read on PATH.'''

    def __init__(self, root, binary, tool=None):
        self.root = root
        self.paths = {'/run/lock/norvel-read.lock': root / 'lock',
                      '/etc/telegraf/norvel-numbers.jq': root / 'norvel-numbers.jq',
                      '/var/lib/prometheus/node-exporter': root / 'textfile',
                      '/var/lib/norvel-read': root / 'state'}
        for directory in ('bin', 'textfile', 'state', 'home'):
            (root / directory).mkdir(exist_ok=True)
        mock = REPO / 'tools' / 'mock_bluetoothd'
        self.write_program('bin/norvel-read', tool or (
            f'#!/bin/sh\nexec env PYTHONPATH={REPO} /usr/bin/python3 -m tools.mock_bluetoothd.private_bus'
            f' --scenario {mock}/demo-sensor.json'
            f' -- {binary} "$@"\n'))

    def localize(self, text):
        for system_path, local in self.paths.items():
            text = text.replace(system_path, str(local))
        return text

    def write_program(self, relative, text):
        path = self.root / relative
        path.write_text(text, encoding='utf-8')
        path.chmod(path.stat().st_mode | stat.S_IXUSR)
        return path

    def run(self, argv, check=True):
        env = dict(os.environ, PATH=f'{self.root / "bin"}:{os.environ["PATH"]}', HOME=str(self.root / 'home'))
        result = subprocess.run([self.localize(arg) for arg in argv], env=env, capture_output=True,
                                text=True, timeout=60, check=False)
        if check:
            expect(result.returncode == 0, f'{argv} ended with {result.returncode}: {result.stderr}')
        return result


def expect_demo_document(text, where):
    try:
        document = json.loads(text)
    except json.JSONDecodeError as error:
        raise Failure(f'{where}: not JSON ({error}): {text!r}') from error
    as_numbers = {key: float(value.split(' ')[0]) if key in UNITS else value for key, value in document.items()}
    expect(as_numbers == DEMO, f'{where}: {document}')
    return document


def render(template, **variables):
    return jinja2.Environment().from_string(template).render(**variables)


def check_home_assistant(bench):
    config = yaml.safe_load(recipe('home-assistant.yaml'))
    sensor = config['command_line'][0]['sensor']
    expect(sensor['command_timeout'] > LOCK_WAIT + TOOL_SECONDS, 'command_timeout too short')
    output = bench.run(['/bin/sh', '-c', sensor['command']]).stdout
    document = expect_demo_document(output, 'command')
    expect(len(output) > 255, 'the document fits the state; json_attributes is not needed')
    state = render(sensor['value_template'], value=output, value_json=document)
    expect(state == str(DEMO['co2']), f'state {state!r}')
    missing = set(sensor['json_attributes']) - set(document)
    expect(not missing, f'attributes not in the output: {missing}')
    attributes = {key: document[key] for key in sensor['json_attributes']}
    entity = 'sensor.' + re.sub(r'[^a-z0-9]+', '_', sensor['name'].lower()).strip('_')
    templates = config['template'][0]['sensor']
    expect({t['unit_of_measurement'] for t in templates} <= set(UNITS.values()), 'units')
    expect(len(templates) == len(UNITS), 'one template sensor per member with a unit')
    for template in templates:
        (used_entity, attribute), = set(re.findall(r"state_attr\('([^']+)', '([^']+)'\)", template['state']))
        expect(used_entity == entity, f'{template["name"]} reads {used_entity}, not {entity}')
        expect(template['unit_of_measurement'] == UNITS[attribute], f'{template["name"]}: unit')
        present = lambda e, a: attributes.get(a) if e == entity else None  # noqa: E731
        value = render(template['state'], state_attr=present)
        expect(float(value) == DEMO[attribute], f'{template["name"]}: {value!r}')
        expect(render(template['availability'], state_attr=present) == 'True', f'{template["name"]}: availability')
        absent = render(template['availability'], state_attr=lambda e, a: None)
        expect(absent == 'False', f'{template["name"]}: available without the attribute')


def check_telegraf(bench):
    bench.paths['/etc/telegraf/norvel-numbers.jq'].write_text(recipe('norvel-numbers.jq'), encoding='utf-8')
    exec_input = tomllib.loads(recipe('telegraf.conf'))['inputs']['exec'][0]
    timeout = re.fullmatch(r'(\d+)s', exec_input['timeout'])
    expect(timeout and int(timeout.group(1)) > LOCK_WAIT + TOOL_SECONDS, 'timeout too short')
    expect(exec_input['data_format'] == 'json_v2', 'data_format')
    (command,) = exec_input['commands']
    metrics = json.loads(bench.run(shlex.split(command)).stdout)
    expect(metrics == DEMO, f'jq output {metrics}')
    parser = exec_input['json_v2'][0]
    kinds = {'int': (int,), 'float': (int, float), 'string': (str,)}
    for field in parser['field']:
        value = metrics.get(field['path'])
        expect(isinstance(value, kinds[field['type']]) and not isinstance(value, bool),
               f'field {field["path"]}: {value!r} is not {field["type"]}')
    mapped = [f['path'] for f in parser['field']] + [t['path'] for t in parser['tag']]
    expect(sorted(mapped) == sorted(DEMO), f'members mapped: {mapped}')


def prometheus_samples(text):
    return {sample.name: sample for family in text_string_to_metric_families(text) for sample in family.samples}


def check_prometheus(bench):
    script = bench.write_program('bin/norvel-textfile', bench.localize(recipe('norvel-textfile')))
    textfile = bench.paths['/var/lib/prometheus/node-exporter']
    bench.run([str(script)])
    expect(sorted(p.name for p in textfile.iterdir()) == ['norvel.prom'], f'files: {list(textfile.iterdir())}')
    samples = prometheus_samples((textfile / 'norvel.prom').read_text(encoding='utf-8'))
    expected = {'co2_ppm': 800, 'temperature_celsius': 22.6, 'humidity_ratio': 0.45, 'pressure_pascals': 101330,
                'battery_ratio': 0.87, 'status_level': 0, 'interval_seconds': 300, 'age_seconds': 120}
    got = {name[len('norvel_'):]: sample.value for name, sample in samples.items()}
    expect(got == expected, f'metrics {got}')
    for sample in samples.values():
        expect(sample.labels == {'address': DEMO['address'], 'name': DEMO['name']}, f'labels {sample.labels}')


def check_prometheus_keeps_last_file_on_failure(bench):
    script = bench.write_program('bin/norvel-textfile', bench.localize(recipe('norvel-textfile')))
    bench.write_program('bin/norvel-read', '#!/bin/sh\necho "Error: Timeout searching for Norvel sensor" >&2\nexit 1\n')
    previous = bench.paths['/var/lib/prometheus/node-exporter'] / 'norvel.prom'
    previous.write_text('norvel_co2_ppm 700\n', encoding='utf-8')
    result = bench.run([str(script)], check=False)
    expect(result.returncode != 0, 'a failed reading must fail the script')
    expect(previous.read_text(encoding='utf-8') == 'norvel_co2_ppm 700\n', 'previous file replaced')
    expect(len(list(previous.parent.iterdir())) == 1, 'temporary file left behind')


def check_prometheus_label_escaping(bench):
    output = bench.run(['norvel-read']).stdout
    odd_name = 'Norvel4 "A\\B"\nC'
    (bench.root / 'odd.json').write_text(output.replace('Norvel4 DEMO', json.dumps(odd_name)[1:-1]), encoding='utf-8')
    bench.write_program('bin/norvel-read', f'#!/bin/sh\ncat {bench.root / "odd.json"}\n')
    script = bench.write_program('bin/norvel-textfile', bench.localize(recipe('norvel-textfile')))
    bench.run([str(script)])
    text = (bench.paths['/var/lib/prometheus/node-exporter'] / 'norvel.prom').read_text(encoding='utf-8')
    names = {sample.labels['name'] for sample in prometheus_samples(text).values()}
    expect(names == {odd_name}, f'label names {names}')


def check_crontab(bench):
    (line,) = recipe('crontab').splitlines()
    schedule, command = line.split(None, 5)[:5], line.split(None, 5)[5]
    expect(schedule == ['*/5', '*', '*', '*', '*'], f'schedule {schedule}')
    expect('%' not in command, 'cron turns % into a new line')
    bench.run(['/bin/sh', '-c', command])
    home = bench.root / 'home'
    expect_demo_document((home / 'air.json').read_text(encoding='utf-8'), '~/air.json')
    expect(sorted(p.name for p in home.iterdir()) == ['air.json'], 'temporary file left behind')
    manual = (REPO / 'docs' / 'norvel-read.1').read_text(encoding='utf-8')
    manual_lines = [unroff(text) for text in manual.splitlines() if text.startswith('*/5 ')]
    expect(manual_lines == [line], f"the manual's crontab line differs: {manual_lines}")


def unroff(text):
    return text.replace('\\-', '-').replace("\\(aq", "'").replace('\\(dq', '"')


def check_manual_examples(bench):
    manual = (REPO / 'docs' / 'norvel-read.1').read_text(encoding='utf-8')
    examples = [unroff(line[2:]) for block in re.findall(r'^\.EX\n(.*?)^\.EE', manual, re.S | re.M)
                for line in block.splitlines() if line.startswith('$ ') and 'jq' in line]
    outputs = [bench.run(['/bin/sh', '-c', example]).stdout for example in examples]
    expect(outputs == ['800\n', '22.6\n'], f'{examples}: {outputs}')


def check_systemd(bench):
    service, timer = bench.root / 'norvel-read.service', bench.root / 'norvel-read.timer'
    service.write_text(recipe('norvel-read.service'), encoding='utf-8')
    timer.write_text(recipe('norvel-read.timer'), encoding='utf-8')
    verify = subprocess.run(['systemd-analyze', 'verify', '--man=no', str(service), str(timer)],
                            capture_output=True, text=True, check=False)
    expect(verify.returncode == 0 and not verify.stdout + verify.stderr, f'systemd-analyze: {verify.stderr}')
    settings = dict(line.split('=', 1) for line in service.read_text(encoding='utf-8').splitlines() if '=' in line)
    expect(int(settings['TimeoutStartSec']) > TOOL_SECONDS, 'TimeoutStartSec too short')
    bench.run(shlex.split(settings['ExecStart']))
    state = bench.paths['/var/lib/norvel-read']
    expect_demo_document((state / 'air.json').read_text(encoding='utf-8'), 'air.json')
    expect(sorted(p.name for p in state.iterdir()) == ['air.json'], 'temporary file left behind')


CHECKS = {'home-assistant': check_home_assistant, 'telegraf': check_telegraf, 'prometheus': check_prometheus,
          'prometheus-failed-run': check_prometheus_keeps_last_file_on_failure,
          'prometheus-label-escaping': check_prometheus_label_escaping, 'crontab': check_crontab,
          'manual-examples': check_manual_examples, 'systemd': check_systemd}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument('--list', action='store_true', help='print the recipe checks')
    parser.add_argument('--binary', type=Path, help='the norvel-read executable')
    parser.add_argument('check', nargs='?', choices=sorted(CHECKS), metavar='CHECK')
    args = parser.parse_args()
    if args.list:
        print('\n'.join(CHECKS))
        return 0
    if not args.binary or not args.check:
        parser.error('--binary and CHECK are required')
    with tempfile.TemporaryDirectory() as root:
        try:
            CHECKS[args.check](Bench(Path(root), args.binary.resolve()))
        except Failure as failure:
            print(f'FAILED: {failure}')
            return 1
    print('PASSED')
    return 0


if __name__ == '__main__':
    sys.exit(main())
