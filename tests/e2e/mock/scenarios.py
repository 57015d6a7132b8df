'''The end-to-end cases: one row per situation the tool must get right against bluetoothd.'''

import signal

from tests.e2e.mock.harness import Scenario, identifier

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
BEFORE = 'C0:FF:EE:00:00:00'
FORGED = 'C0:FF:EE:66:66:66'
HCI0 = '/org/bluez/hci0'
HCI1 = '/org/bluez/hci1'
HCI2 = '/org/bluez/hci2'
HCI1_ADDRESS = 'AA:BB:CC:00:11:22'
DEVICE1 = 'org.bluez.Device1'
# Unicode noncharacters: libdbus sends them, sd-bus refuses to read them.
UNREADABLE_NAME = 'Headphones \uffff'
UNREADABLE_RENAME = 'Headphones \ufdd0'
# A valid detailed record other than the sensor's, with CO2 999 ppm.
OTHER_DETAILED_BYTES = 'e703c30195272d57012c017800'
# What dbus-daemon answers for a call pending at a service that leaves the bus.
RECIPIENT_LEFT = 'Message recipient disconnected from message bus without replying'


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


def scanned_read(address=SENSOR, position=1, adapter='hci0'):
    '''The calls of a run that scans, connects, reads the characteristic at position and disconnects.'''
    path = device_path(address, adapter)
    adapter_path = '/org/bluez/' + adapter
    return [('GetManagedObjects', '/'), ('SetDiscoveryFilter', adapter_path), ('StartDiscovery', adapter_path),
            ('StopDiscovery', adapter_path), ('Connect', path),
            ('ReadValue', characteristic_path(address, position, adapter)), ('Disconnect', path)]


def retrieved_read(address=SENSOR, position=1):
    path = device_path(address)
    return [('GetManagedObjects', '/'), ('Connect', path),
            ('ReadValue', characteristic_path(address, position)), ('Disconnect', path)]


def failing_after_connect(gatt, stderr, **options):
    return dict(setup=sensor_bluez(device(gatt=gatt, **options)), stderr=stderr, status=1,
                calls=[('Connect', device_path(SENSOR)), ('Disconnect', device_path(SENSOR))])


NO_SCAN = [('SetDiscoveryFilter', None), ('StartDiscovery', None)]
CONNECTING = [('Connect', device_path(SENSOR)), ('Disconnect', device_path(SENSOR))]
READING = [('ReadValue', characteristic_path(SENSOR, 1)), ('Disconnect', device_path(SENSOR))]
SENSOR_RECORD = record(SENSOR, 'Norvel4 TEST')


def forge(after, delay=0.0, **message):
    '''A message the spoofing client sends to the tool that long after the call or event named after.'''
    return dict(message, after=after, delay=delay)


def spoofed(*forgeries, **options):
    '''The sensor sighted 0.3 s into the scan while a spoofing client sends the forgeries.'''
    return dict(setup=sensor_bluez(device(sighted_after=0.3), forged=list(forgeries), **options),
                record=SENSOR_RECORD, calls=scanned_read(), absent=[('Connect', device_path(FORGED))])


def stalled(scenario, what, calls):
    '''The scenario, but nothing comes of it: SIGTERM 1 s after what, and only the calls.'''
    return dict(scenario, record=None, signal_after=(what, signal.SIGTERM, 1.0), calls=calls)


def restarted_after(what, delay, **options):
    '''bluetoothd exits delay s after what (call or event) and another starts 0.5 s later.'''
    sensor = dict({'sighted_after': 0.3}, **options.pop('sensor', {}))
    return dict(setup=sensor_bluez(device(**sensor), exit_after=[what, delay], **options),
                restart_after=0.5)


def read_after_restart(what):
    return dict(record=SENSOR_RECORD,
                calls=[(what, None), ('exiting', None), ('name-acquired', None)] + scanned_read())


def among_unreadable(*devices):
    '''The sensor scanned by name among devices whose names sd-bus cannot read.'''
    return dict(setup=sensor_bluez(*devices, device(sighted_after=0.3)), record=SENSOR_RECORD,
                calls=scanned_read(), absent=[('Connect', device_path(BEFORE)), ('Connect', device_path(OTHER))])


KNOWN_UNREADABLE = [device(BEFORE, name=UNREADABLE_NAME, known=True, sighting='none'),
                    device(OTHER, name=UNREADABLE_NAME, known=True, sighting='none')]


def two_adapters(**hci0):
    '''hci0 sighting a "Norvel" decoy and hci1 (address HCI1_ADDRESS) sighting the sensor.'''
    return {'adapters': [dict({'name': 'hci0'}, **hci0), {'name': 'hci1', 'address': HCI1_ADDRESS}],
            'devices': [device(OTHER, name='Norvel4 decoy', sighted_after=0.05),
                        device(adapter='hci1', sighted_after=0.3)]}


def read_through(adapter, **options):
    return dict(record=SENSOR_RECORD, calls=scanned_read(adapter=adapter),
                absent=[('StartDiscovery', path) for path in (HCI0, HCI1, HCI2) if path != '/org/bluez/' + adapter],
                **options)

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
    # One row waits for the real deadline; the other stalls end by SIGTERM after a second of nothing.
    Scenario('no-system-bus-stalls', setup={}, system_bus=False, signal_after=(None, signal.SIGTERM, 1.0)),
    Scenario('no-adapter-times-out', setup={'adapters': []}, times_out=True,
             calls=[('GetManagedObjects', '/')]),
    Scenario('bluetoothd-never-answers-stalls',
             setup=sensor_bluez(device(), unanswered=['GetManagedObjects']),
             signal_after=('GetManagedObjects', signal.SIGTERM, 1.0),
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
    Scenario('read-not-authorized-by-bluetoothd', **failing_after_connect(
        [service(SERVICE, {'uuid': DETAILED, 'error': ['org.bluez.Error.NotAuthorized', 'Operation Not Authorized']})],
        'Error reading characteristic: Operation Not Authorized\n')),
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
    Scenario('services-never-resolved-stalls', setup=sensor_bluez(device(resolve='never')),
             signal_after=('Connect', signal.SIGTERM, 1.0),
             calls=[('Connect', device_path(SENSOR)), ('Disconnect', device_path(SENSOR))]),
    Scenario('sigterm-while-connecting', setup=sensor_bluez(device(connect='hang')),
             signal_after=('Connect', signal.SIGTERM), calls=CONNECTING),
    Scenario('sighup-while-connecting', setup=sensor_bluez(device(connect='hang')),
             signal_after=('Connect', signal.SIGHUP), calls=CONNECTING),
    Scenario('sigint-while-reading', setup=sensor_bluez(device(), unanswered=['ReadValue']),
             signal_after=('ReadValue', signal.SIGINT), calls=READING),
    Scenario('sighup-while-reading', setup=sensor_bluez(device(), unanswered=['ReadValue']),
             signal_after=('ReadValue', signal.SIGHUP), calls=READING),
    Scenario('sigquit-while-reading', setup=sensor_bluez(device(), unanswered=['ReadValue']),
             signal_after=('ReadValue', signal.SIGQUIT), calls=READING),
    # A client that does not own org.bluez sends signals and replies to the tool's unique name.
    Scenario('forged-device-sighted-first', **spoofed(
        forge('StartDiscovery', 0.05, added={'address': FORGED, 'name': 'Norvel4 forged'}))),
    Scenario('forged-name-change', **spoofed(forge('ReadValue', 0.05, changed=[device_path(SENSOR), DEVICE1,
                                                                               {'Name': 'Forged name'}]),
                                             delayed={'ReadValue': 0.3})),
    Scenario('forged-services-resolved', **spoofed(forge('Connect', changed=[device_path(SENSOR), DEVICE1,
                                                                             {'ServicesResolved': True}]))),
    Scenario('forged-bluetoothd-exit', **spoofed(forge('StartDiscovery', 0.05, owner_lost='org.bluez'))),
    # On a bus that passes replies nobody asked for, a forged answer takes the call's place in
    # sd-bus and the real one is dropped: the run stalls rather than believe it.
    Scenario('forged-read-reply', unrequested_replies=True,
             **stalled(spoofed(forge('ReadValue', 0.05, reply=OTHER_DETAILED_BYTES), delayed={'ReadValue': 0.3}),
                       'ReadValue', READING)),
    Scenario('forged-connect-error', unrequested_replies=True,
             **stalled(spoofed(forge('Connect', 0.05, error=['org.bluez.Error.Failed', 'forged']),
                               delayed={'Connect': 0.3}), 'Connect', CONNECTING)),
    # bluetoothd leaves the bus at each phase and comes back with no connection.
    Scenario('bluetoothd-restarts-before-first-answer',
             **restarted_after('GetManagedObjects', 0.3, unanswered=['GetManagedObjects']),
             **read_after_restart('GetManagedObjects')),
    Scenario('bluetoothd-restarts-while-scanning', **restarted_after('StartDiscovery', 0.1),
             **read_after_restart('StartDiscovery')),
    Scenario('bluetoothd-restarts-while-connecting', **restarted_after('Connect', 0.2, sensor={'connect': 'hang'}),
             stderr=f'Error: Failed to connect: {RECIPIENT_LEFT}\n', status=1,
             calls=[('Connect', device_path(SENSOR)), ('exiting', None)], absent=[('ReadValue', None)]),
    Scenario('bluetoothd-restarts-after-services-resolved', **restarted_after('services-resolved', 0),
             **read_after_restart('services-resolved')),
    Scenario('bluetoothd-restarts-while-reading', **restarted_after('ReadValue', 0.2, unanswered=['ReadValue']),
             stderr=f'Error reading characteristic: {RECIPIENT_LEFT}\n', status=1,
             calls=[('ReadValue', None), ('exiting', None)]),
    # Devices whose names sd-bus cannot read never hide the adapter or the sensor.
    Scenario('unreadable-known-devices-scan-by-name',
             setup=sensor_bluez(*KNOWN_UNREADABLE, device(known=True, sighting='rssi', sighted_after=0.3)),
             record=SENSOR_RECORD, calls=[('sighted', device_path(SENSOR))] + scanned_read()[3:]),
    Scenario('unreadable-known-devices-identifier',
             setup=sensor_bluez(*KNOWN_UNREADABLE, device(known=True)), args=[identifier(SENSOR)],
             record=SENSOR_RECORD, calls=retrieved_read(), absent=NO_SCAN),
    Scenario('unreadable-device-sighted', **among_unreadable(device(OTHER, name=UNREADABLE_NAME, sighted_after=0.05))),
    Scenario('unreadable-rename-of-known-device', **among_unreadable(
        device(BEFORE, name='Headphones', known=True, sighted_name=UNREADABLE_RENAME, sighted_after=0.05))),
    # The adapter: NORVEL_ADAPTER by name or address, else the first powered one.
    Scenario('first-powered-adapter', setup=two_adapters(powered=False), **read_through('hci1')),
    Scenario('adapter-named', setup=two_adapters(), env={'NORVEL_ADAPTER': 'hci1'}, **read_through('hci1')),
    Scenario('adapter-named-by-address', setup=two_adapters(),
             env={'NORVEL_ADAPTER': HCI1_ADDRESS.lower()}, **read_through('hci1')),
    Scenario('named-adapter-absent-waits', setup=two_adapters(), env={'NORVEL_ADAPTER': 'hci2'},
             signal_after=('GetManagedObjects', signal.SIGTERM, 1.0), calls=[('GetManagedObjects', '/')],
             absent=NO_SCAN + [('Connect', None)]),
    Scenario('named-adapter-plugged-in-later',
             setup={'adapters': [{'name': 'hci0'}, {'name': 'hci2', 'appears_after': 1.0}],
                    'devices': [device(OTHER, name='Norvel4 decoy', sighted_after=0.05),
                                device(adapter='hci2', sighted_after=0.3)]},
             env={'NORVEL_ADAPTER': 'hci2'}, **read_through('hci2', absent_before=('adapter-added', NO_SCAN))),
    # Load: a crowded tree, and a storm of RSSI changes while the sensor appears.
    Scenario('crowd-of-5000-known-devices', setup=sensor_bluez(device(sighted_after=0.5), crowd={'count': 5000}),
             record=SENSOR_RECORD, calls=scanned_read()),
    Scenario('rssi-storm-while-sensor-appears',
             setup=sensor_bluez(device(sighted_after=2.0), crowd={'count': 200}, storm={'rate': 3500, 'seconds': 2.5}),
             record=SENSOR_RECORD, calls=scanned_read()),
]

BY_NAME = {scenario.name: scenario for scenario in SCENARIOS}
