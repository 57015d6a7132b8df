'''The spoofing client's side of the mock: forged messages sent to the tool at scripted moments.

Each forgery is {after: call or event, delay: s} plus one of:

  added:      {address, name, adapter}  InterfacesAdded of a device that does not exist
  changed:    [path, interface, {property: value}]  PropertiesChanged of a real object
  owner_lost: "org.bluez"  NameOwnerChanged from the real owner to none, as if bluetoothd left
  reply:      "hex"  a method return with those bytes for the call named in after
  error:      [error name, message]  an error reply for that call

Every message goes to the tool's unique name (the sender of the calls the mock receives)
from spoofing_client.py, a process of its own with its own bus connection.
'''

import json
import subprocess
import sys
from pathlib import Path

from tools.mock_bluetoothd.model import later

OBJECT_MANAGER = 'org.freedesktop.DBus.ObjectManager'
PROPERTIES = 'org.freedesktop.DBus.Properties'
DBUS = 'org.freedesktop.DBus'


def typed(value):
    '''A property value as the spoofer's {"$v": [signature, value]}; whole numbers are int16 (RSSI).'''
    if isinstance(value, bool):
        return {'$v': ['b', value]}
    if isinstance(value, int):
        return {'$v': ['n', value]}
    if isinstance(value, list):
        return {'$v': ['as', value]}
    return {'$v': ['s', value]}


def device_added(config):
    address = config['address']
    path = f"/org/bluez/{config.get('adapter', 'hci0')}/dev_{address.replace(':', '_')}"
    props = {'Address': address, 'AddressType': 'public', 'Name': config['name'], 'Alias': config['name'],
             'Paired': False, 'Connected': False, 'ServicesResolved': False, 'RSSI': -40,
             'UUIDs': ['0000fce0-0000-1000-8000-00805f9b34fb']}
    return {'kind': 'signal', 'path': '/', 'interface': OBJECT_MANAGER, 'member': 'InterfacesAdded',
            'signature': '(oa{sa{sv}})',
            'args': [path, {'org.bluez.Device1': {key: typed(value) for key, value in props.items()}}]}


def message(forgery, entry, owner):
    '''The message a forgery stands for, when its trigger was entry (a logged call or event).'''
    if 'added' in forgery:
        return device_added(forgery['added'])
    if 'changed' in forgery:
        path, interface, values = forgery['changed']
        return {'kind': 'signal', 'path': path, 'interface': PROPERTIES, 'member': 'PropertiesChanged',
                'signature': '(sa{sv}as)',
                'args': [interface, {key: typed(value) for key, value in values.items()}, []]}
    if 'owner_lost' in forgery:
        return {'kind': 'signal', 'path': '/org/freedesktop/DBus', 'interface': DBUS,
                'member': 'NameOwnerChanged', 'signature': '(sss)', 'args': [forgery['owner_lost'], owner, '']}
    if 'reply' in forgery:
        return {'kind': 'reply', 'reply_serial': entry['serial'], 'signature': '(ay)',
                'args': [list(bytes.fromhex(forgery['reply']))]}
    name, text = forgery['error']
    return {'kind': 'error', 'reply_serial': entry['serial'], 'error_name': name, 'signature': '(s)',
            'args': [text]}


class Spoofer:
    '''Starts spoofing_client.py when there is something to forge and feeds it at each forgery's moment.'''

    def __init__(self, forgeries, calls, owner):
        self.process = None
        if not forgeries:
            return
        self.process = subprocess.Popen(  # pylint: disable=consider-using-with
            [sys.executable, str(Path(__file__).resolve().parent / 'spoofing_client.py')],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        if self.process.stdout.readline().strip() != 'ready':
            raise RuntimeError('spoofing_client.py did not start')
        for forgery in forgeries:
            calls.when(forgery['after'], lambda entry, forgery=forgery: later(
                forgery.get('delay', 0), lambda: self.send(message(forgery, entry, owner), calls)))

    def send(self, forged, calls):
        forged['destination'] = calls.client
        self.process.stdin.write(json.dumps(forged) + '\n')
        self.process.stdin.flush()
        calls.note('forged', kind=forged['kind'], member=forged.get('member'))

    def close(self):
        if self.process:
            self.process.stdin.close()
            self.process.wait(timeout=5)
