#!/usr/bin/env node
// A small command-line Gemini client on top of @derhuerst/gemini.
//
//   gemini-get.mjs URL            print the header line, then the body
//   gemini-get.mjs --report URL…  fetch all URLs at the same time and print
//                                 one tab-separated line per URL, in the
//                                 order given: URL, code, meta, body bytes,
//                                 body sha256
//
// Before either form, --cert FILE --key FILE present a client certificate
// (PEM) to the server; before --report, --jobs N fetches at most N URLs at
// a time (default: all at once).
//
// Redirects are reported, never followed. The server certificate is not
// verified: the test and demo servers use fresh self-signed certificates,
// and Gemini clients trust on first use anyway. Exit status 1 when any
// fetch failed (no connection, no valid header, a timeout).
import {createHash} from 'node:crypto'
import {setDefaultResultOrder} from 'node:dns'
import {readFileSync} from 'node:fs'
import {sendGeminiRequest} from '@derhuerst/gemini/client.js'

// The test servers and the demo listen on 127.0.0.1. Debian 12 resolves
// localhost to ::1 first, and its Node.js 18, unlike later ones, tries no
// other address when that connection is refused.
setDefaultResultOrder('ipv4first')

const options = {
	followRedirects: false,
	connectTimeout: 10000,
	headersTimeout: 20000,
	timeout: 20000,
	tlsOpt: {rejectUnauthorized: false},
}

const fetchOne = (url) => new Promise((resolve, reject) => {
	sendGeminiRequest(url, options, (err, res) => {
		if (err) return reject(err)
		const hash = createHash('sha256')
		const chunks = []
		let bytes = 0
		res.on('data', (chunk) => {
			hash.update(chunk)
			bytes += chunk.length
			chunks.push(chunk)
		})
		res.on('error', reject)
		res.on('end', () => resolve({
			code: res.statusCode,
			meta: res.meta,
			bytes,
			sha256: hash.digest('hex'),
			body: Buffer.concat(chunks),
		}))
	})
})

const args = process.argv.slice(2)
let jobs = Infinity
while (['--cert', '--key', '--jobs'].includes(args[0])) {
	const [flag, value] = args.splice(0, 2)
	if (flag === '--jobs') jobs = Number(value)
	else options.tlsOpt[flag.slice(2)] = readFileSync(value)
}
const report = args[0] === '--report'
const urls = report ? args.slice(1) : args
if (urls.length === 0 || (!report && urls.length !== 1)) {
	process.stderr.write('usage: gemini-get.mjs URL | gemini-get.mjs --report URL...\n')
	process.exit(2)
}

// At most `jobs` fetches at a time, each worker taking the next URL.
const results = new Array(urls.length)
let next = 0
const worker = async () => {
	while (next < urls.length) {
		const i = next++
		results[i] = await fetchOne(urls[i]).then(
			(value) => ({status: 'fulfilled', value}),
			(reason) => ({status: 'rejected', reason}))
	}
}
await Promise.all(Array.from({length: Math.min(jobs, urls.length)}, worker))
let failed = false
results.forEach((r, i) => {
	if (r.status === 'rejected') {
		failed = true
		process.stderr.write(`${urls[i]}: ${r.reason && r.reason.message}\n`)
		if (report) process.stdout.write(`${urls[i]}\tERROR\t${r.reason && r.reason.message}\n`)
		return
	}
	const {code, meta, bytes, sha256, body} = r.value
	if (report) {
		process.stdout.write(`${urls[i]}\t${code}\t${meta}\t${bytes}\t${sha256}\n`)
	} else {
		process.stdout.write(`${code} ${meta}\n`)
		process.stdout.write(body)
	}
})
process.exitCode = failed ? 1 : 0
