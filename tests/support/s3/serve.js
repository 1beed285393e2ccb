#!/usr/bin/env node
// The S3 server of the service's tests: s3rver on loopback, with one bucket, behind a check
// of every request's AWS Signature Version 4 (s3rver itself looks only at the access key of a
// version 4 signature). Requests whose signature does not verify get 403
// SignatureDoesNotMatch, as from a real store.
//   serve.js DIRECTORY BUCKET [PORT]
// Credentials: AWS_ACCESS_KEY_ID and AWS_SECRET_ACCESS_KEY of the environment. Prints
// "listening s3 127.0.0.1:PORT" once it serves, and stops on SIGTERM.
'use strict';
const crypto = require('crypto');
const S3rver = require('s3rver');
const AWSAccount = require('s3rver/lib/models/account');

const [directory, bucket, port] = process.argv.slice(2);
const accessKey = process.env.AWS_ACCESS_KEY_ID;
const secretKey = process.env.AWS_SECRET_ACCESS_KEY;
if (!directory || !bucket || !accessKey || !secretKey) {
  console.error('usage: serve.js DIRECTORY BUCKET [PORT] (with AWS_ACCESS_KEY_ID and AWS_SECRET_ACCESS_KEY)');
  process.exit(2);
}
AWSAccount.DUMMY_ACCOUNT.createKeyPair(accessKey, secretKey);

const hmac = (key, text) => crypto.createHmac('sha256', key).update(text).digest();
const sha256 = (text) => crypto.createHash('sha256').update(text).digest('hex');
// RFC 3986 encoding as the signature has it: unreserved characters stay.
const encode = (text) =>
  encodeURIComponent(text).replace(/[!'()*]/g, (c) => '%' + c.charCodeAt(0).toString(16).toUpperCase());

function verify(req) {
  const auth = req.headers['authorization'] || '';
  const match = /^AWS4-HMAC-SHA256 Credential=([^/]+)\/(\d{8})\/([^/]+)\/s3\/aws4_request, ?SignedHeaders=([^,]+), ?Signature=([0-9a-f]{64})$/.exec(auth);
  if (!match) return 'no version 4 signature';
  const [, key, day, region, signedHeaders, signature] = match;
  if (key !== accessKey) return 'unknown access key';
  const amzDate = req.headers['x-amz-date'] || '';
  if (amzDate.slice(0, 8) !== day) return 'x-amz-date does not match the credential';
  const payloadHash = req.headers['x-amz-content-sha256'];
  if (!payloadHash) return 'no x-amz-content-sha256';
  const [path, query = ''] = req.url.split('?');
  const canonicalQuery = query === '' ? '' : query.split('&').map((pair) => {
    const [name, value = ''] = pair.split('=');
    return [encode(decodeURIComponent(name)), encode(decodeURIComponent(value))];
  }).sort((a, b) => (a[0] < b[0] ? -1 : a[0] > b[0] ? 1 : a[1] < b[1] ? -1 : 1))
    .map(([name, value]) => name + '=' + value).join('&');
  const canonicalHeaders = signedHeaders.split(';').map((name) =>
    name + ':' + String(req.headers[name] || '').trim().replace(/\s+/g, ' ') + '\n').join('');
  const canonical = [req.method, path, canonicalQuery, canonicalHeaders, signedHeaders, payloadHash].join('\n');
  const scope = `${day}/${region}/s3/aws4_request`;
  const toSign = ['AWS4-HMAC-SHA256', amzDate, scope, sha256(canonical)].join('\n');
  let signingKey = hmac('AWS4' + secretKey, day);
  for (const part of [region, 's3', 'aws4_request']) signingKey = hmac(signingKey, part);
  return hmac(signingKey, toSign).toString('hex') === signature ? null : 'signature mismatch';
}

const server = new S3rver({
  address: '127.0.0.1',
  port: Number(port || 0),
  directory,
  silent: true,
  vhostBuckets: false,
  configureBuckets: [{ name: bucket }],
});
server.middleware.unshift(async (ctx, next) => {
  const problem = verify(ctx.req);
  if (problem) {
    console.error(`s3: refused ${ctx.method} ${ctx.url}: ${problem}`);
    ctx.status = 403;
    ctx.type = 'application/xml';
    ctx.body = '<?xml version="1.0" encoding="UTF-8"?>\n<Error><Code>SignatureDoesNotMatch</Code>' +
      `<Message>${problem}</Message></Error>`;
    return;
  }
  await next();
});
server.run().then(({ address, port: bound }) => {
  console.log(`listening s3 ${address}:${bound}`);
}, (err) => {
  console.error(`s3: cannot start: ${err.message}`);
  process.exit(1);
});
process.on('SIGTERM', () => server.close().then(() => process.exit(0), () => process.exit(0)));
process.on('SIGINT', () => process.exit(0));
