'''The end-to-end cases: one row per situation the tool must get right against bluetoothd.'''

import signal

from harness import Scenario, identifier

SERVICE = '0000fce0-0000-1000-8000-00805f9b34fb'
DETAILED = 'f0cd3001-95da-4f4b-9ac8-aa55d312af0c'
BASIC = 'f0cd1503-95da-4f4b-9ac8-aa55d312af0c'
BATTERY_SERVICE = '0000180f-0000-1000-8000-00805f9b34fb'
BATTERY_LEVEL = '00002a19-0000-1000-8000-00805f9b34fb'
OTHER_CHARACTERISTIC = 'f0cd2004-95da-4f4b-9ac8-aa55d312af0c'

# The worked example of the detailed record, and the basic record's first nine bytes with status 2.
DETAILED_BYTES = '2003c30195272d57012c017800'
BASIC_BYTES = '2003c30195272d5702'
READINGS = {'co2': 800, 'temperature': '22.6 °C', 'humidity': '45 %', 'pressure': '1013.3 hPa',
            'battery': '87 %'}
DETAILED_READINGS = dict(READINGS, status='GREEN', interval=300, age=120)
BASIC_READINGS = dict(READINGS, status='YELLOW', interval=300, age=0)

SENSOR = 'C0:FF:EE:00:00:01'
OTHER = 'C0:FF:EE:00:00:02'
HCI0 = '/org/bluez/hci0'
HCI1 = '/org/bluez/hci1'


def device_path(address, adapter='hci0'):
    return f'/org/bluez/{adapter}/dev_' + address.replace(':', '_')


# GATT object paths follow the handles the mock hands out: service 0x000a, then 0x000b, 0x000e...
def characteristic_path(address, position, adapter='hci0'):
    return f'{device_path(address, adapter)}/service000a/char{0x000b + 3 * position:04x}'


def service(uuid, *characteristics):
    return {'uuid': uuid, 'characteristics': list(characteristics)}


def value(uuid, hex_bytes):
    return {'uuid': uuid, 'value': hex_bytes}


# The basic characteristic comes first in path order, so picking the detailed one is a choice.
SENSOR_GATT = [service(SERVICE, value(BASIC, BASIC_BYTES), value(DETAILED, DETAILED_BYTES))]


def device(address=SENSOR, name='Norvel4 TEST', gatt=None, **options):
    config = {'adapter': 'hci0', 'address': address, 'gatt': SENSOR_GATT if gatt is None else gatt}
    if name is not None:
        config['name'] = name
    config.update(options)
    return config


def sensor_bluez(*devices, **options):
    return dict({'adapters': [{'name': 'hci0'}], 'devices': list(devices)}, **options)


def record(address, name, readings=None):
    return dict(readings or DETAILED_READINGS, address=identifier(address), name=name)


def scanned_read(address=SENSOR, position=1):
    '''The calls of a run that scans, connects, reads the characteristic at position and disconnects.'''
    path = device_path(address)
    return [('GetManagedObjects', '/'), ('SetDiscoveryFilter', HCI0), ('StartDiscovery', HCI0),
            ('StopDiscovery', HCI0), ('Connect', path), ('ReadValue', characteristic_path(address, position)),
            ('Disconnect', path)]


def retrieved_read(address=SENSOR, position=1):
    path = device_path(address)
    return [('GetManagedObjects', '/'), ('Connect', path),
            ('ReadValue', characteristic_path(address, position)), ('Disconnect', path)]


def failing_after_connect(gatt, stderr, **options):
    return dict(setup=sensor_bluez(device(gatt=gatt, **options)), stderr=stderr, status=1,
                calls=[('Connect', device_path(SENSOR)), ('Disconnect', device_path(SENSOR))])


NO_SCAN = [('SetDiscoveryFilter', None), ('StartDiscovery', None)]

SCENARIOS = [
    Scenario('scan-by-name-reads-detailed-record',
             setup=sensor_bluez(device(OTHER, name='Phone', sighted_after=0.05),
                                device('C0:FF:EE:00:00:03', name=None, alias='Norvel4 alias', sighted_after=0.1),
                                device(sighted_after=0.3, gap_name='Sensor GAP')),
             record=record(SENSOR, 'Sensor GAP'), calls=scanned_read(),
             absent=[('Connect', device_path(OTHER)), ('Connect', device_path('C0:FF:EE:00:00:03'))]),
    Scenario('basic-record-when-detailed-missing',
             setup=sensor_bluez(device(gatt=[service(SERVICE, value(BASIC, BASIC_BYTES))])),
             record=record(SENSOR, 'Norvel4 TEST', BASIC_READINGS), calls=scanned_read(position=0)),
    Scenario('identifier-of-known-device',
             setup=sensor_bluez(device(name='Living room', known=True)), args=[identifier(SENSOR)],
             record=record(SENSOR, 'Living room'), calls=retrieved_read(), absent=NO_SCAN),
    Scenario('identifier-in-lower-case',
             setup=sensor_bluez(device(name=None, known=True)), args=[identifier(SENSOR).lower()],
             record=record(SENSOR, 'Norvel4'), calls=retrieved_read(), absent=NO_SCAN),
    Scenario('name-of-wrong-type-counts-as-absent',
             setup=sensor_bluez(device(name=7, known=True)), args=[identifier(SENSOR)],
             record=record(SENSOR, 'Norvel4'), calls=retrieved_read(), absent=NO_SCAN),
    Scenario('unknown-identifier-falls-back-to-scan',
             setup=sensor_bluez(device(known=True, sighting='rssi', sighted_after=0.05),
                                device('C0:FF:EE:00:00:03', name='Norvel4 decoy', sighted_after=0.1),
                                device(OTHER, name='Kitchen', sighted_after=0.3)),
             args=['-v', identifier(OTHER)], record=record(OTHER, 'Kitchen'), calls=scanned_read(OTHER),
             absent=[('Connect', device_path(SENSOR)), ('Connect', device_path('C0:FF:EE:00:00:03'))]),
    Scenario('permission-denied-by-bus-policy', setup=sensor_bluez(device()), deny_bluez=True,
             stderr='Error: Bluetooth permission denied\n', status=2),
    Scenario('permission-denied-by-bluetoothd',
             setup=sensor_bluez(device(), refuse={
                 'StartDiscovery': ['org.bluez.Error.NotAuthorized', 'Operation Not Authorized']}),
             stderr='Error: Bluetooth permission denied\n', status=2,
             calls=[('StartDiscovery', HCI0)], absent=[('Connect', None)]),
    Scenario('adapter-powered-off-then-on',
             setup=dict(sensor_bluez(device()), adapters=[{'name': 'hci0', 'powered': False, 'powered_after': 1.0}]),
             record=record(SENSOR, 'Norvel4 TEST'),
             calls=[('powered-on', HCI0)] + scanned_read()[1:], absent_before=('powered-on', NO_SCAN)),
    Scenario('adapter-appears-later',
             setup=dict(sensor_bluez(device()), adapters=[{'name': 'hci0', 'appears_after': 1.0}]),
             record=record(SENSOR, 'Norvel4 TEST'), calls=[('adapter-added', HCI0)] + scanned_read()[1:],
             absent_before=('adapter-added', NO_SCAN)),
    Scenario('bluetoothd-starts-later', setup=sensor_bluez(device()), mock_starts_after=1.0,
             record=record(SENSOR, 'Norvel4 TEST'), calls=scanned_read()),
    Scenario('no-system-bus-times-out', setup={}, system_bus=False, times_out=True),
    Scenario('no-adapter-times-out', setup={'adapters': []}, times_out=True,
             calls=[('GetManagedObjects', '/')]),
    Scenario('bluetoothd-never-answers-times-out',
             setup=sensor_bluez(device(), unanswered=['GetManagedObjects']), times_out=True,
             calls=[('GetManagedObjects', '/')]),
    Scenario('connection-failure',
             setup=sensor_bluez(device(connect=['org.bluez.Error.Failed', 'le-connection-abort-by-local'])),
             stderr='Error: Failed to connect: le-connection-abort-by-local\n', status=1,
             calls=[('Connect', device_path(SENSOR))], absent=[('ReadValue', None)]),
    Scenario('no-services', **failing_after_connect(
        [service(BATTERY_SERVICE, value(BATTERY_LEVEL, '57'))], 'Error: No Norvel services found\n')),
    Scenario('no-characteristics', **failing_after_connect(
        [service(SERVICE, value(OTHER_CHARACTERISTIC, DETAILED_BYTES))], 'Error: No Norvel characteristics found\n')),
    Scenario('read-error', **failing_after_connect(
        [service(SERVICE, {'uuid': DETAILED, 'error': ['org.bluez.Error.NotPermitted', 'Read not permitted']})],
        'Error reading characteristic: Read not permitted\n')),
    Scenario('read-error-without-message', **failing_after_connect(
        [service(SERVICE, {'uuid': DETAILED, 'error': ['org.bluez.Error.NotPermitted', '']})],
        'Error reading characteristic: org.bluez.Error.NotPermitted\n')),
    Scenario('value-of-wrong-type-counts-as-absent', **failing_after_connect(
        [service(SERVICE, {'uuid': DETAILED, 'text': DETAILED_BYTES})], 'Error: Empty characteristic value\n')),
    Scenario('short-value', **failing_after_connect(
        [service(SERVICE, value(BASIC, '2003c30195'))], 'Error: Unexpected data format or length (5 bytes)\n')),
    Scenario('name-with-slash-and-quote', setup=sensor_bluez(device(name='Norvel4 "A/B"')),
             record=record(SENSOR, 'Norvel4 "A/B"'), calls=scanned_read()),
    Scenario('known-device-sighted-only-by-properties-changed',
             setup=sensor_bluez(device('C0:FF:EE:00:00:00', name='Norvel4 FAR', known=True, sighting='none'),
                                device(known=True, sighting='rssi', sighted_after=0.3)),
             record=record(SENSOR, 'Norvel4 TEST'), calls=[('sighted', device_path(SENSOR))] + scanned_read()[3:],
             absent=[('Connect', device_path('C0:FF:EE:00:00:00'))]),
    Scenario('device-of-second-adapter-ignored',
             setup={'adapters': [{'name': 'hci1'}, {'name': 'hci0'}],
                    'devices': [device(OTHER, adapter='hci1', name='Norvel4 hci1', known=True, sighting='rssi',
                                       sighted_by='hci0', sighted_after=0.05),
                                device('C0:FF:EE:00:00:03', adapter='hci1', name='Norvel4 new', sighted_by='hci0',
                                       sighted_after=0.05),
                                device(sighted_after=0.3)]},
             record=record(SENSOR, 'Norvel4 TEST'), calls=scanned_read(),
             absent=[('StartDiscovery', HCI1), ('Connect', device_path(OTHER, 'hci1')),
                     ('Connect', device_path('C0:FF:EE:00:00:03', 'hci1'))]),
    Scenario('gatt-signals-after-services-resolved', setup=sensor_bluez(device(resolve='signals_late')),
             record=record(SENSOR, 'Norvel4 TEST'), calls=scanned_read()),
    Scenario('connected-signal-sent', setup=sensor_bluez(device(connected_signal=True)),
             record=record(SENSOR, 'Norvel4 TEST'), calls=scanned_read()),
    Scenario('device-connected-before-run-left-connected',
             setup=sensor_bluez(device(connected=True)), args=[identifier(SENSOR)],
             record=record(SENSOR, 'Norvel4 TEST'), calls=retrieved_read()[:-1],
             absent=[('Disconnect', None)] + NO_SCAN),
    Scenario('services-never-resolved-times-out', setup=sensor_bluez(device(resolve='never')), times_out=True,
             calls=[('Connect', device_path(SENSOR)), ('Disconnect', device_path(SENSOR))]),
    Scenario('connect-never-answered-times-out', setup=sensor_bluez(device(connect='hang')), times_out=True,
             calls=[('Connect', device_path(SENSOR)), ('Disconnect', device_path(SENSOR))]),
    Scenario('sigterm-while-connecting', setup=sensor_bluez(device(connect='hang')),
             signal_after=('Connect', signal.SIGTERM),
             calls=[('Connect', device_path(SENSOR)), ('Disconnect', device_path(SENSOR))]),
    Scenario('sigint-while-reading', setup=sensor_bluez(device(), unanswered=['ReadValue']),
             signal_after=('ReadValue', signal.SIGINT),
             calls=[('ReadValue', characteristic_path(SENSOR, 1)), ('Disconnect', device_path(SENSOR))]),
]

BY_NAME = {scenario.name: scenario for scenario in SCENARIOS}
