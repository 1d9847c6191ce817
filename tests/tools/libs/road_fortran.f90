! A FORTRAN procedure of the old interface for the road tests:
! y = A x with A(2,2) and x(2), A arriving column-major as FORTRAN keeps it.
subroutine su55if_rmatvec(vin, insz, vout, outsz, inoffs, outoffs, iflag, props, work, wlen, &
                          derivs, nout, nin, task)
  implicit none
  double precision vin(*), vout(*), work(*), derivs(*)
  integer insz(*), outsz(*), inoffs(*), outoffs(*), iflag, props, wlen, nout, nin, task
  integer i, j
  do i = 1, 2
    vout(outoffs(1) + i - 1) = 0.0d0
    do j = 1, 2
      vout(outoffs(1) + i - 1) = vout(outoffs(1) + i - 1) + &
                                 vin(inoffs(1) + (j - 1) * 2 + i - 1) * vin(inoffs(2) + j - 1)
    end do
  end do
  iflag = 1
end subroutine
