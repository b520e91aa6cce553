// A Sparkplug B host for qm4720d's tests, on the published JavaScript codec and MQTT client (npm,
// pinned in service/tests/sparkplug_host): subscribes to spBv1.0/# on the broker of --port and
// prints each message decoded as one JSON line {"topic", "payload"} (whole numbers as numbers);
// publishes each JSON line {"topic", "payload"} read from stdin, encoded by the same codec.
// Prints {"ready": true} once subscribed. The Python test decides what is right.
//   node sparkplug_host.js --port PORT
'use strict';
const mqtt = require('mqtt');
const readline = require('readline');
const sparkplug = require('sparkplug-payload').get('spBv1.0');

const port = Number(process.argv[process.argv.indexOf('--port') + 1]);

// Long values of the codec as plain numbers: every one the test meets fits a double exactly.
function plain(value) {
    if (value === null || value === undefined) return value;
    if (typeof value === 'object' && typeof value.toNumber === 'function') return value.toNumber();
    if (Buffer.isBuffer(value)) return value.toString('hex');
    if (Array.isArray(value)) return value.map(plain);
    if (typeof value === 'object') {
        const out = {};
        for (const [k, v] of Object.entries(value)) out[k] = plain(v);
        return out;
    }
    return value;
}

function say(line) {
    process.stdout.write(JSON.stringify(line) + '\n');
}

const client = mqtt.connect({host: '127.0.0.1', port, clientId: 'sparkplug-test-host',
                             reconnectPeriod: 200});
client.on('connect', () => {
    client.subscribe('spBv1.0/#', {qos: 1}, (err) => {
        if (err) {
            say({error: String(err)});
            process.exit(1);
        }
        say({ready: true});
    });
});
client.on('message', (topic, message) => {
    if (topic.startsWith('spBv1.0/STATE/')) {
        say({topic, text: message.toString()});
        return;
    }
    try {
        say({topic, payload: plain(sparkplug.decodePayload(message))});
    } catch (e) {
        say({topic, error: String(e)});
    }
});

readline.createInterface({input: process.stdin}).on('line', (line) => {
    const request = JSON.parse(line);
    const body = request.text !== undefined ? request.text
                                            : sparkplug.encodePayload(request.payload);
    client.publish(request.topic, body, {qos: 1, retain: Boolean(request.retain)},
                   () => say({published: request.topic}));
});
process.stdin.on('end', () => client.end(true, () => process.exit(0)));
