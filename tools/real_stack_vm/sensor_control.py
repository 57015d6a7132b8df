"""Client side of the emulated sensor's control socket (see emulated_sensor.py)."""
import json
import os
import socket

SOCKET = os.environ.get('SENSOR_SOCKET', '/run/norvel-sensor.sock')


def command(**fields):
    """Sends one command and returns the sensor's answer once the change is in effect."""
    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as conn:
        conn.settimeout(20)
        conn.connect(SOCKET)
        conn.sendall((json.dumps(fields) + '\n').encode())
        answer = b''
        while not answer.endswith(b'\n'):
            chunk = conn.recv(4096)
            if not chunk:
                break
            answer += chunk
    reply = json.loads(answer)
    if reply.get('error'):
        raise RuntimeError('sensor %s: %s' % (fields.get('op'), reply['error']))
    return reply


def configure(detailed=None, basic=None, refuse=False, hold=0.0):
    """Hex strings for the characteristics' bytes; None leaves a characteristic out."""
    return command(op='configure', detailed=detailed, basic=basic, refuse=refuse, hold=hold)


def advertise(on):
    return command(op='advertise', on=on)


def status():
    return command(op='status')


def gap_name(name):
    return command(op='gap_name', name=name)
