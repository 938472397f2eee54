// SPDX-License-Identifier: MIT
#pragma once

#include <QByteArray>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QString>

// Test helpers for files the programs write.

inline QByteArray ReadWholeFile(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// One member of an .xlsx (zip) file, read with Python's standard zipfile module.
inline QByteArray ZipEntry(const QString& zip, const QString& member) {
    QProcess p;
    p.start("python3", {"-c",
                        "import sys,zipfile;sys.stdout.buffer.write("
                        "zipfile.ZipFile(sys.argv[1]).read(sys.argv[2]))",
                        zip, member});
    p.waitForFinished(10000);
    return p.readAllStandardOutput();
}

// The first worksheet of an .xlsx as Python's zipfile and ElementTree read it: "sheets" (names),
// "cols" (widths by column number), "cells" (each with "text", "format" (number format id),
// "code" (a custom format's code), "bold" and "formula"), "page" (the page setup's attributes),
// "fitToPage" and "names" (defined names). A number cell in a custom format reads as
// "date yyyy-mm-dd hh:mm:ss", any other number cell as "number <value>".
inline QJsonObject ReadWorkbook(const QString& path) {
    static const char* const script = R"(
import sys, json, zipfile, datetime, xml.etree.ElementTree as ET
M = '{http://schemas.openxmlformats.org/spreadsheetml/2006/main}'
z = zipfile.ZipFile(sys.argv[1])
book = ET.fromstring(z.read('xl/workbook.xml'))
sheets = [s.get('name') for s in book.iter(M + 'sheet')]
names = {d.get('name'): d.text for d in book.iter(M + 'definedName')}
ss = []
if 'xl/sharedStrings.xml' in z.namelist():
    for si in ET.fromstring(z.read('xl/sharedStrings.xml')).iter(M + 'si'):
        ss.append(''.join(t.text or '' for t in si.iter(M + 't')))
st = ET.fromstring(z.read('xl/styles.xml'))
codes = {int(n.get('numFmtId')): n.get('formatCode') for n in st.iter(M + 'numFmt')}
bold = [f.find(M + 'b') is not None for f in st.find(M + 'fonts')]
xfs = [(int(x.get('numFmtId', '0')), bold[int(x.get('fontId', '0'))])
       for x in st.find(M + 'cellXfs')]
sh = ET.fromstring(z.read('xl/worksheets/sheet1.xml'))
cols = {}
for c in sh.iter(M + 'col'):
    for i in range(int(c.get('min')), int(c.get('max')) + 1):
        cols[str(i)] = float(c.get('width'))
cells = {}
for c in sh.iter(M + 'c'):
    t, v = c.get('t'), c.find(M + 'v')
    fmt, b = xfs[int(c.get('s', '0'))]
    if t == 's':
        val = ss[int(v.text)]
    elif t == 'inlineStr':
        val = ''.join(x.text or '' for x in c.iter(M + 't'))
    elif v is not None and fmt in codes:
        d = datetime.datetime(1899, 12, 30) + datetime.timedelta(seconds=round(float(v.text) * 86400))
        val = 'date ' + d.isoformat(' ')
    else:
        val = None if v is None else 'number ' + v.text
    cells[c.get('r')] = {'text': val, 'format': fmt, 'code': codes.get(fmt, ''), 'bold': b,
                         'formula': c.find(M + 'f') is not None}
ps = sh.find(M + 'pageSetup')
fit = sh.find(M + 'sheetPr/' + M + 'pageSetUpPr')
print(json.dumps({'sheets': sheets, 'cols': cols, 'cells': cells, 'names': names,
                  'page': {} if ps is None else dict(ps.attrib),
                  'fitToPage': fit is not None and fit.get('fitToPage') == '1'}))
)";
    QProcess p;
    p.start("python3", {"-c", script, path});
    p.waitForFinished(10000);
    return QJsonDocument::fromJson(p.readAllStandardOutput()).object();
}
