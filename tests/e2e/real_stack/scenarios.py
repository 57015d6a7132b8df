"""The real-stack scenarios, in the order one guest boot runs them. guest_play.py plays them
against bluetoothd and the emulated sensor; check.py checks what each run left behind.

Each row sets the sensor up (characteristic bytes as hex, None = characteristic absent),
runs a command (norvel-read unless `command` says otherwise) and states what must be seen.
Arguments may hold {id} / {id_lower} (the identifier printed by the first scenario) and
{device_path} (hci0's object for the sensor)."""
import signal
from dataclasses import dataclass, field
from typing import Optional

DETAILED_A = '2003C30195272D57012C017800'
RECORD_A = {'name': 'Norvel4 TEST', 'co2': 800, 'temperature': '22.6 °C', 'humidity': '45 %',
            'pressure': '1013.3 hPa', 'battery': '87 %', 'status': 'GREEN', 'interval': 300,
            'age': 120}

TIMEOUT_MESSAGE = 'Error: Timeout searching for Norvel sensor\n'
# bluetoothd's text for an ATT "read not permitted" error answered by the sensor.
READ_REFUSED_MESSAGE = 'Error reading characteristic: Read not permitted\n'


@dataclass
class Scenario:
    name: str
    what: str
    args: list = field(default_factory=list)
    command: Optional[list] = None
    detailed: Optional[str] = DETAILED_A
    basic: Optional[str] = None
    refuse: bool = False
    hold: float = 0.0
    advertising: bool = True
    gap_name: str = 'Norvel4 TEST'   # GAP Device Name; the advertised name stays 'Norvel4 TEST'
    forget: bool = False              # hci0 forgets the sensor before the run
    terminate_when: Optional[str] = None  # 'reading' or 'connecting': SIGTERM at that point
    advertise_after: bool = False     # the sensor advertises again right after the exit
    disconnect_after: bool = False    # the runner closes a link the command left up
    record: Optional[dict] = None     # expected members of the JSON but "address"
    stderr: str = ''
    status: int = 0                   # negative: dies by that signal
    wall: tuple = (0.0, 15.0)
    link: str = 'none'                # 'up-then-down', 'none' or 'comes-up' (after the exit)
    scan: Optional[bool] = None       # StartDiscovery on hci0 required (True) or banned (False)
    connect_call: Optional[bool] = None


SCENARIOS = [
    Scenario('a-scan-detailed', 'no argument: scan by name, read the detailed record',
             record=RECORD_A, link='up-then-down', scan=True, connect_call=True),
    Scenario('b-known-identifier', 'the identifier of (a) again: known device, no scan',
             args=['{id}'], detailed='E803A4011027325A0258021E00',
             record={'name': 'Norvel4 TEST', 'co2': 1000, 'temperature': '21.0 °C',
                     'humidity': '50 %', 'pressure': '1000.0 hPa', 'battery': '90 %',
                     'status': 'YELLOW', 'interval': 600, 'age': 30},
             link='up-then-down', scan=False, connect_call=True),
    Scenario('c-lower-case-identifier', 'the identifier of (a) in lower case',
             args=['{id_lower}'], detailed='DC05C701942600FF03FFFFFFFF',
             record={'name': 'Norvel4 TEST', 'co2': 1500, 'temperature': '22.8 °C',
                     'humidity': '0 %', 'pressure': '987.6 hPa', 'battery': '255 %',
                     'status': 'RED', 'interval': 65535, 'age': 65535},
             link='up-then-down', scan=False, connect_call=True),
    Scenario('d-basic-only', 'only the basic characteristic (9 bytes), detailed dropped',
             args=['{id}'], detailed=None, basic='8A027C019427284D01',
             record={'name': 'Norvel4 TEST', 'co2': 650, 'temperature': '19.0 °C',
                     'humidity': '40 %', 'pressure': '1013.2 hPa', 'battery': '77 %',
                     'status': 'GREEN', 'interval': 300, 'age': 0},
             link='up-then-down', scan=False, connect_call=True),
    Scenario('j-gap-name-differs',
             'sensor unknown, GAP Device Name differs from the advertised name: "name" is '
             'Device1.Name as bluetoothd holds it when the value arrives',
             forget=True, gap_name='Norvel4 GAP',
             record=dict(RECORD_A, name='Norvel4 GAP'), link='up-then-down', scan=True,
             connect_call=True),
    Scenario('k-gap-name-without-word',
             'sensor unknown, GAP Device Name without "Norvel": found by its advertised name, '
             'printed with its GAP Device Name', forget=True, gap_name='Sensor GAP',
             record=dict(RECORD_A, name='Sensor GAP'), link='up-then-down', scan=True,
             connect_call=True),
    Scenario('k-known-by-gap-name-without-word',
             'the same sensor again, known to bluetoothd by the GAP Device Name: the scan still '
             'finds it once its advertised name is seen', gap_name='Sensor GAP',
             record=dict(RECORD_A, name='Sensor GAP'), link='up-then-down', scan=True,
             connect_call=True),
    Scenario('f-read-refused', 'the sensor refuses the read: bluetoothd\'s message',
             refuse=True, stderr=READ_REFUSED_MESSAGE, status=1, link='up-then-down',
             scan=True, connect_call=True),
    Scenario('h-sigterm-link-up', 'SIGTERM while a read answer is held: dies by it, link closed',
             args=['{id}'], hold=1.5, terminate_when='reading', status=-signal.SIGTERM,
             link='up-then-down', scan=False, connect_call=True),
    Scenario('i-control-abandoned-connect',
             'control for (i): a Connect abandoned by its caller completes once the sensor '
             'advertises again', command=['busctl', '--system', '--timeout=3', 'call',
                                          'org.bluez', '{device_path}', 'org.bluez.Device1',
                                          'Connect'],
             advertising=False, advertise_after=True, disconnect_after=True,
             stderr=None, status=1, link='comes-up', connect_call=True),
    Scenario('i-sigterm-connect-pending',
             'SIGTERM while Connect is pending: the attempt is cancelled, the link never '
             'comes up after the sensor advertises again', args=['{id}'], advertising=False,
             terminate_when='connecting', advertise_after=True, status=-signal.SIGTERM, link='none',
             scan=False, connect_call=True),
    Scenario('e-not-advertising-unknown', 'sensor silent and unknown: the timeout',
             advertising=False, forget=True, stderr=TIMEOUT_MESSAGE, status=1,
             wall=(15.0, 16.0), link='none', scan=True, connect_call=False),
]
