#!/usr/bin/python3
"""The usual Python way to do norvel-read's job: a short bleak script that finds the first
device on hci0 whose name holds "Norvel", reads the detailed readings characteristic and
prints the record as JSON."""
import asyncio
import json
import struct
import sys

from bleak import BleakClient, BleakScanner

DETAILED_UUID = "f0cd3001-95da-4f4b-9ac8-aa55d312af0c"
STATUS = {1: "GREEN", 2: "YELLOW"}


async def main():
    device = await BleakScanner.find_device_by_filter(
        lambda d, adv: "norvel" in (d.name or adv.local_name or "").lower(),
        timeout=15,
        adapter="hci0",
    )
    if device is None:
        print("Error: Timeout searching for Norvel sensor", file=sys.stderr)
        return 1
    async with BleakClient(device, adapter="hci0") as client:
        value = await client.read_gatt_char(DETAILED_UUID)
        co2, temperature, pressure, humidity, battery, status, interval, age = struct.unpack_from(
            "<HHHBBBHH", value
        )
        print(
            json.dumps(
                {
                    "address": "00000000-0000-8000-8000-" + device.address.replace(":", ""),
                    "name": device.name,
                    "co2": co2,
                    "temperature": "%.1f °C" % (temperature / 20.0),
                    "humidity": "%d %%" % humidity,
                    "pressure": "%.1f hPa" % (pressure / 10.0),
                    "battery": "%d %%" % battery,
                    "status": STATUS.get(status, "RED"),
                    "interval": interval,
                    "age": age,
                },
                indent=2,
                ensure_ascii=False,
            ),
            flush=True,
        )
    return 0


if __name__ == "__main__":
    sys.exit(asyncio.run(main()))
