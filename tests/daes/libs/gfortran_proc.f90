! A FORTRAN procedure of the old interface with default INTEGER arguments:
! y = 3 x + n, where n is a 64-bit integer in its 8-byte slot.
subroutine su55if_gproc(vin, insz, vout, outsz, inoffs, outoffs, iflag, props, work, wlen, &
                        derivs, nout, nin, task)
  implicit none
  double precision vin(*), vout(*), work(*), derivs(*)
  integer insz(*), outsz(*), inoffs(*), outoffs(*), iflag, props, wlen, nout, nin, task
  integer(kind=8) n
  n = transfer(vin(inoffs(2)), n)
  vout(outoffs(1)) = 3.0d0 * vin(inoffs(1)) + dble(n)
  iflag = 1
end subroutine
