#!/usr/bin/env python3
"""Web link and webloc files on Python's plistlib side, for web_link_file_test.

  web_link_interop.py write FOLDER          writes python.qntweblink and python.webloc there
  web_link_interop.py check WEBLINK WEBLOC  checks files we wrote; exit status 0 when they pass

The values must stay equal to those the test expects (WebLinkInteropTest).
"""

import datetime
import os
import plistlib
import sys

REFERENCE_DATE = datetime.datetime(2001, 1, 1)


def write(folder):
    link = {
        'URL': 'https://example.com/caf%C3%A9?q=1',
        'Title': 'Caf\u00e9 \U0001F600',
        'Description': '  About it\n',
        'SiteName': 'Example',
        'Byline': 'Someone',
        'DatePublished': REFERENCE_DATE + datetime.timedelta(seconds=700000000),
        'Icon': bytes([0, 1, 2, 255]),
        'Image': bytes([9]),
        'ImageAltText': 'Alt',
        'WebArchive': b'',
        'HasVideoURL': True,
        'SomeoneElsesKey': [1, 2, 3],
    }
    with open(os.path.join(folder, 'python.qntweblink'), 'wb') as file:
        plistlib.dump(link, file, fmt=plistlib.FMT_BINARY)
    with open(os.path.join(folder, 'python.webloc'), 'wb') as file:
        plistlib.dump({'URL': 'https://example.org/'}, file, fmt=plistlib.FMT_XML)


def fail(message):
    print('web_link_interop: ' + message, file=sys.stderr)
    sys.exit(1)


def check_article(data):
    archive = plistlib.loads(data)
    if archive.get('$archiver') != 'NSKeyedArchiver' or archive.get('$version') != 100000:
        fail('ArticleText is not a keyed archive')
    objects = archive['$objects']
    root = objects[archive['$top']['root'].data]
    class_record = objects[root['$class'].data]
    if class_record['$classname'] != 'NSAttributedString':
        fail('ArticleText root is %r' % class_record['$classname'])
    if objects[root['NSString'].data] != 'Body text with a link.':
        fail('ArticleText has the wrong text')
    dictionaries = objects[root['NSAttributes'].data]['NS.objects']
    if len(dictionaries) != 3 or not isinstance(objects[root['NSAttributeInfo'].data], bytes):
        fail('ArticleText runs are not stored as attribute dictionaries and run data')


def check(web_link_path, webloc_path):
    with open(web_link_path, 'rb') as file:
        data = file.read()
    if not data.startswith(b'bplist00'):
        fail('the web link file is not a binary property list')
    link = plistlib.loads(data)
    expected_types = {
        'URL': str, 'Title': str, 'Description': str, 'ArticleText': bytes, 'SiteName': str,
        'Byline': str, 'DatePublished': datetime.datetime, 'Icon': bytes, 'Image': bytes,
        'ImageAltText': str, 'WebArchive': bytes, 'HasVideoURL': bool,
    }
    if list(link) != list(expected_types):
        fail('unexpected keys %r' % list(link))
    for key, kind in expected_types.items():
        if type(link[key]) is not kind:
            fail('%s is %s, not %s' % (key, type(link[key]).__name__, kind.__name__))
    if link['URL'] != 'https://example.com/articles/1?ref=feed' or link['Title'] != 'An article':
        fail('URL or Title differ')
    published = REFERENCE_DATE + datetime.timedelta(seconds=730000000.5)
    if link['DatePublished'] != published or link['HasVideoURL'] is not True:
        fail('DatePublished or HasVideoURL differ')
    check_article(link['ArticleText'])

    with open(webloc_path, 'rb') as file:
        data = file.read()
    if not data.startswith(b'<?xml'):
        fail('the webloc file is not an XML property list')
    if plistlib.loads(data) != {'URL': 'https://example.com/articles/1?ref=feed'}:
        fail('the webloc file holds more or less than its URL')


def main():
    if len(sys.argv) == 3 and sys.argv[1] == 'write':
        write(sys.argv[2])
    elif len(sys.argv) == 4 and sys.argv[1] == 'check':
        check(sys.argv[2], sys.argv[3])
    else:
        fail('usage: web_link_interop.py write FOLDER | check WEBLINK WEBLOC')


if __name__ == '__main__':
    main()
