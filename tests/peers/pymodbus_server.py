#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""An independent Modbus RTU instrument for tests of the access library, built on pymodbus.

It opens a pseudo-terminal pair, prints the slave's path on the first line of its output and
serves until stdin closes or it is terminated. With "tcp": true in the content it speaks Modbus
TCP instead, on a free port of 127.0.0.1 (one connection at a time), and prints its endpoint
(tcp://127.0.0.1:PORT). The content is a JSON object given as the only
argument:
    {"address": 1,
     "input": {"0": 3, ...}, "holding": {"9": 120, ...},          zero-based register addresses
     "journals": {"1": ["hex of record 0", "hex of record 1", ...]},
     "late_ms": 0, "late_records": [2, 5]}                        optional
Function 65 requests (archive number in byte 1, record index in bytes 5-6) are answered with
the record's byte count and bytes, or exception 2 for a record that does not exist. With
"late_ms" the answers to function 65 (only those of the record indices in "late_records" when
it is given) go out that many milliseconds late; requests are taken in turn, as an instrument
with one processor takes them.
"""
import json
import os
import select
import socket
import sys
import time
import tty

from pymodbus.datastore import ModbusSequentialDataBlock, ModbusSlaveContext
from pymodbus.factory import ServerDecoder
from pymodbus.framer.rtu_framer import ModbusRtuFramer
from pymodbus.framer.socket_framer import ModbusSocketFramer
from pymodbus.pdu import ExceptionResponse, ModbusExceptions, ModbusRequest, ModbusResponse

JOURNALS = {}


class JournalRecordResponse(ModbusResponse):
    function_code = 0x41
    _rtu_byte_count_pos = 2

    def __init__(self, record=b"", **kwargs):
        super().__init__(**kwargs)
        self.record = record

    def encode(self):
        return bytes([len(self.record)]) + self.record

    def decode(self, data):
        self.record = data[1 : 1 + data[0]]


class JournalRecordRequest(ModbusRequest):
    function_code = 0x41
    _rtu_frame_size = 1 + 1 + 7 + 2

    def __init__(self, raw=b"\0" * 7, **kwargs):
        super().__init__(**kwargs)
        self.raw = raw

    def encode(self):
        return self.raw

    def decode(self, data):
        self.raw = bytes(data[:7])

    def execute(self, _context):
        records = JOURNALS.get(self.raw[1], [])
        index = (self.raw[5] << 8) | self.raw[6]
        if index >= len(records):
            return self.doException(ModbusExceptions.IllegalAddress)
        return JournalRecordResponse(records[index])


def block(values):
    table = [0] * (max([int(k) for k in values] + [0]) + 16)
    for k, v in values.items():
        table[int(k)] = v
    return ModbusSequentialDataBlock(0, table)


def main():
    content = json.loads(sys.argv[1])
    address = content.get("address", 1)
    for number, records in content.get("journals", {}).items():
        JOURNALS[int(number)] = [bytes.fromhex(r) for r in records]
    store = ModbusSlaveContext(
        ir=block(content.get("input", {})), hr=block(content.get("holding", {})), zero_mode=True
    )
    decoder = ServerDecoder()
    decoder.register(JournalRecordRequest)
    tcp = content.get("tcp", False)
    framer = ModbusSocketFramer(decoder) if tcp else ModbusRtuFramer(decoder)

    if tcp:
        listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        listener.bind(("127.0.0.1", 0))
        listener.listen(1)
        print("tcp://127.0.0.1:%d" % listener.getsockname()[1], flush=True)
        line = None
    else:
        master, slave = os.openpty()
        tty.setraw(slave)  # no echo, no line discipline; the slave stays open for reopening
        print(os.ttyname(slave), flush=True)
        line = master

    late_ms = content.get("late_ms", 0)
    late_records = content.get("late_records")

    def answer(request):
        try:
            response = request.execute(store)
        except Exception:  # pylint: disable=broad-except
            response = ExceptionResponse(request.function_code, ModbusExceptions.SlaveFailure)
        response.unit_id = request.unit_id
        response.transaction_id = request.transaction_id if tcp else request.unit_id
        response.protocol_id = 0
        if late_ms and request.function_code == 0x41:
            index = (request.raw[5] << 8) | request.raw[6]
            if late_records is None or index in late_records:
                time.sleep(late_ms / 1000)
        os.write(line, framer.buildPacket(response))

    while True:
        sources = [sys.stdin] + ([listener] if tcp else []) + ([line] if line is not None else [])
        ready, _, _ = select.select(sources, [], [], 1.0)
        if sys.stdin in ready and not sys.stdin.buffer.read1(4096):
            return
        if tcp and listener in ready:
            if line is not None:
                os.close(line)
            connection, _ = listener.accept()
            line = os.dup(connection.fileno())
            connection.close()
            framer.resetFrame()
        elif line is not None and line in ready:
            data = os.read(line, 1024)
            if not data:  # the master closed the connection
                os.close(line)
                line = None
                continue
            framer.processIncomingPacket(data, answer, unit=[address], single=False)

if __name__ == "__main__":
    main()
