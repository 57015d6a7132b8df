'''Runs one end-to-end scenario against the real binary; exit status 0 when it passes.

  /usr/bin/python3 -m tests.e2e.mock.run_scenario --list
  /usr/bin/python3 -m tests.e2e.mock.run_scenario --binary build/src/norvel-read SCENARIO

from the repository's root (or with it in PYTHONPATH).
'''

import argparse
import sys
from pathlib import Path

from tests.e2e.mock.harness import describe_calls, run
from tests.e2e.mock.scenarios import BY_NAME, SCENARIOS


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument('--list', action='store_true', help='print the scenario names')
    parser.add_argument('--binary', type=Path, help='the norvel-read executable')
    parser.add_argument('scenario', nargs='?', choices=sorted(BY_NAME), metavar='SCENARIO')
    args = parser.parse_args()
    if args.list:
        print('\n'.join(scenario.name for scenario in SCENARIOS))
        return 0
    if not args.binary or not args.scenario:
        parser.error('--binary and SCENARIO are required')

    outcome, problems, mock_log = run(str(args.binary.resolve()), BY_NAME[args.scenario])
    print(f'{args.scenario}: status {outcome.status} after {outcome.seconds:.2f} s, '
          f'CPU {outcome.cpu_seconds:.2f} s, peak RSS {outcome.max_rss_mb:.1f} MB')
    print(f'stdout: {outcome.stdout!r}\nstderr: {outcome.stderr!r}')
    print('calls received by the mock:\n' + describe_calls(outcome.calls))
    if problems:
        print('mock output:\n' + mock_log)
        print('FAILED:\n' + '\n'.join('  ' + problem for problem in problems))
        return 1
    print('PASSED')
    return 0


if __name__ == '__main__':
    sys.exit(main())
